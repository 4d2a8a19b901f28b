#include "kernelfile.h"

#include <fcntl.h>
#include <unistd.h>

QByteArray readKernelFile(const QByteArray &path, int limit)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return {};
    QByteArray data(limit, Qt::Uninitialized);
    const ssize_t n = ::read(fd, data.data(), size_t(limit));
    ::close(fd);
    data.resize(n > 0 ? qsizetype(n) : 0);
    return data;
}

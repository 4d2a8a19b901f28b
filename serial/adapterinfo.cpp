#include "adapterinfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "kernelfile.h"
#include "outsidetext.h"

namespace {

// A descriptor string of the USB device: written by whoever made the adapter, so anything.
QString descriptorText(const QString &dir, const char *name)
{
    const QByteArray raw
        = readKernelFile(QFile::encodeName(dir + QLatin1Char('/') + QLatin1String(name)), 256);
    return escapeOutsideText(QString::fromUtf8(raw).trimmed());
}

} // namespace

AdapterInfo AdapterInfo::describe(const QString &path, const QString &sysfsRoot,
                                  const QString &byIdDirectory)
{
    AdapterInfo info;
    struct stat st
    {
    };
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0
        || !S_ISCHR(st.st_mode)) {
        info.device = escapeOutsideText(path);
        return info;
    }
    const QString device = QFileInfo(path).canonicalFilePath();
    info.device = escapeOutsideText(device);

    // sysfs files the character device under the interface it belongs to; the USB device with
    // its descriptor strings is a few folders up (ttyUSB0/tty/ttyUSB0 under the interface
    // 1-1:1.0 under the device 1-1). Serial ports on the board have none.
    const QString root = QFileInfo(sysfsRoot).canonicalFilePath();
    QString dir = QFileInfo(QStringLiteral("%1/dev/char/%2:%3")
                                .arg(sysfsRoot)
                                .arg(major(st.st_rdev))
                                .arg(minor(st.st_rdev)))
                      .canonicalFilePath();
    for (int up = 0; up < 6 && !root.isEmpty() && dir.startsWith(root + QLatin1Char('/'));
         ++up, dir = QFileInfo(dir).path()) {
        if (QFileInfo::exists(dir + QStringLiteral("/idVendor"))) {
            info.product = descriptorText(dir, "product");
            info.manufacturer = descriptorText(dir, "manufacturer");
            info.serialNumber = descriptorText(dir, "serial");
            break;
        }
    }

    // udev names each USB serial device after its descriptors, in a link that stays the same
    // whichever ttyUSB number the kernel gave it this time.
    const QDir ids(byIdDirectory);
    for (const QString &name : ids.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        const QFileInfo link(ids.filePath(name));
        if (link.isSymLink() && link.canonicalFilePath() == device) {
            info.byIdName = escapeOutsideText(link.filePath());
            break;
        }
    }
    return info;
}

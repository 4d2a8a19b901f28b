#include "adapterfixture.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <sys/sysmacros.h>

FakeAdapter::FakeAdapter(const QString &ptyPath, const QByteArray &product,
                         const QByteArray &manufacturer, const QByteArray &serial,
                         const QString &byIdName)
{
    struct stat st
    {
    };
    if (!m_sys.isValid() || !m_ids.isValid()
        || ::stat(QFile::encodeName(ptyPath).constData(), &st) != 0)
        return;
    const QString usbDevice = QStringLiteral("devices/pci0000:00/usb1/1-1");
    const QString node = usbDevice + QStringLiteral("/1-1:1.0/ttyUSB0/tty/ttyUSB0");
    const QDir sys(m_sys.path());
    if (!sys.mkpath(node) || !sys.mkpath(QStringLiteral("dev/char"))
        || !QFile::link(
            QStringLiteral("../../") + node,
            sys.filePath(
                QStringLiteral("dev/char/%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev)))))
        return;
    const auto put = [&](const char *name, const QByteArray &text) {
        if (text.isEmpty())
            return true;
        QFile file(sys.filePath(usbDevice + u'/' + QLatin1String(name)));
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
    };
    const bool usb = !product.isEmpty() || !manufacturer.isEmpty() || !serial.isEmpty();
    if (usb
        && !(put("idVendor", "1d6b\n") && put("product", product)
             && put("manufacturer", manufacturer) && put("serial", serial)))
        return;
    // udev's folder holds links of other devices too.
    if (!QFile::link(QStringLiteral("/dev/null"), m_ids.filePath(QStringLiteral("other"))))
        return;
    if (!byIdName.isEmpty()) {
        m_byIdPath = m_ids.filePath(byIdName);
        if (!QFile::link(ptyPath, m_byIdPath))
            return;
    }
    m_ok = true;
}

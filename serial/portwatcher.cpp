#include "portwatcher.h"

#include <QFileInfo>

#include <algorithm>

PortWatcher::PortWatcher(ComPorts::PortMap map, QObject *parent)
    : QObject(parent)
    , m_map(std::move(map))
{
    QStringList folders;
    for (int n = ComPorts::first; n <= ComPorts::last && m_map; ++n) {
        const QString path = m_map(n);
        if (path.isEmpty())
            continue;
        const QString folder = QFileInfo(path).absolutePath();
        if (!folders.contains(folder) && QFileInfo(folder).isDir())
            folders << folder;
    }
    if (!folders.isEmpty())
        m_watcher.addPaths(folders);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &PortWatcher::recheck);
    const QList<int> now = present();
    m_present = QSet<int>(now.begin(), now.end());
}

QList<int> PortWatcher::present() const
{
    QList<int> found;
    for (int n = ComPorts::first; n <= ComPorts::last && m_map; ++n) {
        const QString path = m_map(n);
        // exists() follows links: a link left behind by a removed device does not count.
        if (!path.isEmpty() && QFileInfo::exists(path))
            found << n;
    }
    return found;
}

void PortWatcher::recheck()
{
    const QList<int> now = present();
    QList<int> appeared, gone;
    for (const int n : now) {
        if (!m_present.contains(n))
            appeared << n;
    }
    for (const int n : std::as_const(m_present)) {
        if (!now.contains(n))
            gone << n;
    }
    if (appeared.isEmpty() && gone.isEmpty())
        return;
    std::sort(gone.begin(), gone.end());
    m_present = QSet<int>(now.begin(), now.end());
    emit portsChanged(appeared, gone);
}

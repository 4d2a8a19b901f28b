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
    for (const int n : present())
        m_present.insert(n, QFileInfo(m_map(n)).canonicalFilePath());
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
    QHash<int, QString> now;
    for (const int n : present())
        now.insert(n, QFileInfo(m_map(n)).canonicalFilePath());
    QList<int> appeared, gone;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        const auto before = m_present.constFind(it.key());
        if (before == m_present.cend() || before.value() != it.value())
            appeared << it.key();
    }
    for (auto it = m_present.cbegin(); it != m_present.cend(); ++it) {
        if (!now.contains(it.key()))
            gone << it.key();
    }
    if (appeared.isEmpty() && gone.isEmpty())
        return;
    std::sort(appeared.begin(), appeared.end());
    std::sort(gone.begin(), gone.end());
    m_present = now;
    emit portsChanged(appeared, gone);
}

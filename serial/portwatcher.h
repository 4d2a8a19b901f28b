#pragma once

#include <QFileSystemWatcher>
#include <QHash>
#include <QList>
#include <QObject>

#include "serialportservice.h"

// Tells when devices of the Com table appear or disappear (an adapter plugged in or pulled, a
// udev rule or the simulator making or removing a link). It watches the folders the table's
// paths live in through inotify, so nothing runs while nothing changes there, and looks at no
// more than whether each path leads to something.
class PortWatcher : public QObject
{
    Q_OBJECT
public:
    explicit PortWatcher(ComPorts::PortMap map = ComPorts::device, QObject *parent = nullptr);

    // The Com numbers whose path leads to an existing file now.
    QList<int> present() const;
    bool isWatching() const { return !m_watcher.directories().isEmpty(); }

signals:
    // `appeared` also holds the entries whose path now leads to another device (a link that
    // udev or the simulator pointed elsewhere in one step): what they describe has changed.
    void portsChanged(const QList<int> &appeared, const QList<int> &gone);

private:
    void recheck();

    ComPorts::PortMap m_map;
    QFileSystemWatcher m_watcher;
    QHash<int, QString> m_present; // Com number -> what its path leads to
};

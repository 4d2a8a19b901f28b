#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// Home Assistant's discovery: the retained messages under its prefix that make a board's
// channels switches, their pulses buttons and pulse lengths numbers, and its remote's keys
// events, all pointing at the board's topics.
namespace HomeAssistant {
// Topic and payload of each; none for an empty prefix (discovery off).
QList<QPair<QString, QByteArray>> discoveryMessages(const QString &prefix, const QString &id);
} // namespace HomeAssistant

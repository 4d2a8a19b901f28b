#pragma once

#include <QString>

#include "mqttclient.h"

// What the programs say when the broker cannot be reached or refuses them: one table of the
// client's failures, in English for the command-line programs (parts of one line each) and in
// Chinese for the console's messages. Text from outside (the library's and the broker's words,
// user names) comes out escaped.

// What went wrong, in a few words: "the connection was closed".
QString brokerFailureWords(const MqttClient::Failure &failure);
// "cannot reach the broker host:1883: WORDS", or "lost the broker …" for a connection that was
// up.
QString brokerFailureLine(const QString &broker, const MqttClient::Failure &failure,
                          bool wasConnected);
// "the broker host:1883 refused the connection of user NAME: REASON"; what to do follows in
// the program's own words.
QString brokerRefusedLine(const QString &broker, const QString &username, const QString &reason);
// "cannot connect to the broker host:1883: REASON": the settings cannot be used at all.
QString brokerStartFailedLine(const QString &broker, const QString &reason);

// The same for the console, in Chinese.
QString brokerFailureWordsChinese(const MqttClient::Failure &failure);
// The console's message when the broker cannot be reached or the connection was lost.
QString brokerFailureMessage(const QString &broker, const MqttClient::Failure &failure,
                             bool wasConnected);
// The console's message when the broker refused it for good.
QString brokerRefusedMessage(const QString &broker, const QString &reason);

#pragma once

#include <QString>

#include "openresult.h"
#include "portguard.h"

// What the programs say when a port does not open: one table of every result, in English for
// the command-line programs (one line each) and in Chinese for the console's message box. Text
// from outside (holders, lock paths) comes out escaped.

// What went wrong, in a few words: "held by another program".
QString openFailureWords(OpenResult code);
// What to do about it, naming the holder or the file where the check found one.
QString openFailureRemedy(OpenResult code, const PortCheck &check);
// "PORT: held by another program (8005): minicom (PID 4242); close it first"
QString openFailureLine(const QString &port, const PortCheck &check);
// The console's message: its fixed first line, then who or what is in the way where that is
// known, then what to do. `device` is the path the port stands for; `broker`: the console
// reaches bridged boards, so a port that relay-mqtt holds is one to choose by its board's name.
QString openFailureMessage(OpenResult code, const PortCheck &check, const QString &device,
                           bool broker = false);

// Why a write to an open port failed, in a few Chinese words for the console's message:
// `systemError` is the errno of the failed write, 0 when the port took nothing for a while.
QString writeFailureWords(int systemError);

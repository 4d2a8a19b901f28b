#pragma once

#include <QString>

#include "openresult.h"
#include "portguard.h"

// The open results in English for the command-line programs, one line each; the console has
// its own Chinese texts. Text from outside (holders, lock paths) comes out escaped.

// What went wrong, in a few words: "held by another program".
QString openFailureWords(OpenResult code);
// What to do about it, naming the holder or the file where the check found one.
QString openFailureRemedy(OpenResult code, const PortCheck &check);
// "PORT: held by another program (8005): minicom (PID 4242); close it first"
QString openFailureLine(const QString &port, const PortCheck &check);

#pragma once

#include <QString>

// Text from outside the program (process names, lock files, device descriptors, MQTT topics
// and payloads, command-line words) made safe for a terminal, a message box, a log or JSON:
// control characters, DEL, the C1 controls, format characters (bidirectional overrides) and
// the backslash as C escapes: "\x1b", "\t", "\\", "\u202e".
QString escapeOutsideText(const QString &text);

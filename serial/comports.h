#pragma once

#include <QString>

#include <functional>

// The Com ports the console offers, and the fixed table that maps them onto devices:
// Com1..4 /dev/ttyS0..3, Com5..12 /dev/ttyUSB0..7, Com13..16 /dev/ttyACM0..3.
namespace ComPorts {
// Where Com n is: the table below for the programs, pseudo-terminals for the tests, one path
// given on a command line.
using PortMap = std::function<QString(int)>;
constexpr int first = 1;
constexpr int last = 16;
constexpr bool isValid(int n)
{
    return n >= first && n <= last;
}
// The device of Com n; empty outside the range.
QString device(int n);
// The table in one line: "Com1-4 /dev/ttyS0-3, Com5-12 /dev/ttyUSB0-7, Com13-16 /dev/ttyACM0-3".
QString tableText();
// "Com3" for 3.
QString entryText(int n);
// The number in an entry text: the value after "Com"; 0 (never a port) for anything else.
int numberFromEntry(const QString &text);
// A port as a command line names it: "Com5" in any case, exactly; 0 for anything else.
int numberFromName(const QString &name);
} // namespace ComPorts

#pragma once

#include <QString>

#include <cstdint>
#include <initializer_list>

#include "brokerboards.h"

// relayctl's output: whole lines, on standard output for results and on standard error for
// what went wrong.

enum class Output { Written, Closed, Interrupted };

// Writes one line whole, waiting for the reader as long as it takes, but never past a
// termination signal: a reader that stopped (a paused pager, a stalled consumer) must not keep
// the port locked. A reader that went away (EPIPE; SIGPIPE is ignored) is Closed.
Output writeLine(int fd, const QString &text);
// "relayctl: TEXT" on standard error.
void sayError(const QString &text);

// A reply or key report as watch prints it: "reply 0x05", "short 0x00 0xFF 0x0C 0xF3", or
// one JSON object with the kind, the bytes and the time.
QString eventLine(const QString &kind, std::initializer_list<std::uint8_t> bytes, bool json);
// The answer to read under --json: the reply and what it says of each channel,
// {"reply":"0x05","ch1":"ON","ch2":"OFF","ch3":"ON","ch4":"OFF"}, the reply first.
QString stateLine(std::uint8_t state);
// A board the broker knows, as boards lists it.
QString boardLine(const RemoteBoard &board, bool json);

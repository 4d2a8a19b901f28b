#pragma once

#include <QString>
#include <cstdint>

// "0x" and two upper-case hex digits: 0 -> "0x00", 10 -> "0x0A", 255 -> "0xFF".
QString hexByteText(std::uint8_t b);

#pragma once

#include <QString>
#include <QStringView>
#include <cstdint>

// The rule applied to the delay field, both when composing the preview and when the
// send action checks the field before sending.
struct DelayNumber
{
    enum class Kind {
        Empty, // nothing left after trimming the spaces
        NotNumber, // text, but not one of the accepted notations
        OutOfRange, // a number whose rounded value does not fit a signed 16-bit integer
        Value, // a number; `value` holds it rounded to an integer
    };
    Kind kind = Kind::Empty;
    std::int16_t value = 0;

    // Only these values become delay bytes.
    bool isDelay() const { return kind == Kind::Value && value >= 1 && value <= 255; }
};

// Removes leading and trailing U+0020 only; tabs and other white space stay and make the
// text "not a number".
QString trimSpaces(QStringView text);

// Trims spaces, tests for a number and converts it to a signed 16-bit integer, halves going
// to the even neighbour (2.5 -> 2, 3.5 -> 4, -2.5 -> -2).
//
// Accepted notation, ASCII only, nothing else before or after:
//     [+|-] ( digits [ "." [digits] ] | "." digits ) [ (e|E) [+|-] digits ]
// e.g. "17", "+17", "-3", "017", "2.5", "2.", ".5", "1e2", "2.55E+2".
// Not numbers: hexadecimal ("0x1F", "&H1F"), a decimal comma, digit grouping, currency
// signs, "inf"/"nan", full-width or other non-ASCII digits, inner spaces.
//
// The value is computed exactly from the decimal digits (no binary floating point), so
// "2.5000000001" rounds to 3 and an exponent of any size neither overflows nor wraps:
// "65537" and "1e999999999" are OutOfRange, never 1 or some other small value.
DelayNumber parseDelayNumber(QStringView text);

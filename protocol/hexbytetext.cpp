#include "hexbytetext.h"

QString hexByteText(std::uint8_t b)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    const QChar text[4] = {u'0', u'x', QChar(digits[b >> 4]), QChar(digits[b & 0x0F])};
    return QString(text, 4);
}

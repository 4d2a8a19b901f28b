#include "delaynumber.h"

#include <limits>

namespace {

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

} // namespace

QString trimSpaces(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == u' ')
        ++begin;
    while (end > begin && text[end - 1] == u' ')
        --end;
    return text.mid(begin, end - begin).toString();
}

DelayNumber parseDelayNumber(QStringView raw)
{
    const QString text = trimSpaces(raw);
    if (text.isEmpty())
        return {DelayNumber::Kind::Empty, 0};
    const DelayNumber notNumber {DelayNumber::Kind::NotNumber, 0};

    qsizetype i = 0;
    const qsizetype n = text.size();
    bool negative = false;
    if (text[i] == u'+' || text[i] == u'-')
        negative = text[i++] == u'-';

    // All mantissa digits in one string; the decimal point sits after `intDigits` of them.
    QString digits;
    qsizetype intDigits = 0;
    while (i < n && isAsciiDigit(text[i]))
        digits += text[i++];
    intDigits = digits.size();
    if (i < n && text[i] == u'.') {
        ++i;
        while (i < n && isAsciiDigit(text[i]))
            digits += text[i++];
    }
    if (digits.isEmpty())
        return notNumber;

    // The exponent saturates: anything beyond a few digits of magnitude decides the outcome
    // already (too large, or rounds to zero).
    constexpr qint64 exponentCap = 1'000'000'000;
    qint64 exponent = 0;
    if (i < n && (text[i] == u'e' || text[i] == u'E')) {
        ++i;
        bool negativeExponent = false;
        if (i < n && (text[i] == u'+' || text[i] == u'-'))
            negativeExponent = text[i++] == u'-';
        if (i >= n || !isAsciiDigit(text[i]))
            return notNumber;
        while (i < n && isAsciiDigit(text[i])) {
            exponent = std::min(exponentCap, exponent * 10 + (text[i++].unicode() - u'0'));
        }
        if (negativeExponent)
            exponent = -exponent;
    }
    if (i != n)
        return notNumber;

    // value = 0.d1d2d3... * 10^point once leading zeros are gone.
    qint64 point = intDigits + exponent;
    qsizetype first = 0;
    while (first < digits.size() && digits[first] == u'0') {
        ++first;
        --point;
    }
    qsizetype last = digits.size();
    while (last > first && digits[last - 1] == u'0')
        --last;
    if (first == last)
        return {DelayNumber::Kind::Value, 0};

    const QStringView significant = QStringView(digits).mid(first, last - first);
    if (point > 5)
        return {DelayNumber::Kind::OutOfRange, 0}; // at least 100000

    qint64 magnitude = 0;
    for (qint64 k = 0; k < point; ++k) {
        const int d = k < significant.size() ? significant[k].unicode() - u'0' : 0;
        magnitude = magnitude * 10 + d;
    }
    // Halves go to the even neighbour; anything after the 5 makes it more than a half.
    if (point >= 0 && point < significant.size()) {
        const int firstFraction = significant[point].unicode() - u'0';
        const bool moreAfter = point + 1 < significant.size(); // trailing zeros are gone
        if (firstFraction > 5 || (firstFraction == 5 && (moreAfter || magnitude % 2 == 1))) {
            ++magnitude;
        }
    }
    const qint64 value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<std::int16_t>::min()
        || value > std::numeric_limits<std::int16_t>::max()) {
        return {DelayNumber::Kind::OutOfRange, 0};
    }
    return {DelayNumber::Kind::Value, static_cast<std::int16_t>(value)};
}

// Any text through the delay rule and the delay command: no crash, bytes only for 1..255, the
// bytes carry the value and the channel, and the value agrees with the C library's reading of
// the same number.
#include <QString>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "commandencoder.h"
#include "delaynumber.h"

#define CHECK(condition) \
    do { \
        if (!(condition)) \
            std::abort(); \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int channel = data[0] & 0x03;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data + 1),
                                           static_cast<qsizetype>(size - 1));
    const DelayNumber number = parseDelayNumber(text);

    CommandEncoder encoder;
    CommandSelection selection;
    selection.operation = RelayOperation::DelayedRelay;
    selection.delayText = text;
    selection.delayChannel = channel;
    const CommandPreview preview = encoder.compose(selection);
    const QByteArray bytes = encoder.bytes();

    CHECK(bytes.isEmpty() == !number.isDelay());
    CHECK(bytes.isEmpty() == (preview.firstByteText == QLatin1String("--")));
    if (!bytes.isEmpty()) {
        int seconds = 0;
        for (const char c : bytes) {
            const auto b = static_cast<std::uint8_t>(c);
            CHECK((b & 0x03) == channel);
            CHECK(b & 0x80);
            seconds += (b & 0x40) ? ((b >> 2) & 0x0F) * 16 : (b >> 2) & 0x0F;
        }
        CHECK(seconds == number.value && seconds >= 1 && seconds <= 255);
    }

    if (number.kind == DelayNumber::Kind::Value || number.kind == DelayNumber::Kind::OutOfRange) {
        // Accepted notation is a subset of what strtod reads.
        const QByteArray ascii = trimSpaces(text).toLatin1();
        char *end = nullptr;
        const double d = std::strtod(ascii.constData(), &end);
        CHECK(end == ascii.constData() + ascii.size());
        if (number.kind == DelayNumber::Kind::Value)
            CHECK(std::fabs(d - number.value) <= 0.5);
        else
            CHECK(std::fabs(d) >= 32767.5 || !std::isfinite(d));
    }
    return 0;
}

// Any byte stream through the receive decoder, checked byte by byte against a plain restatement
// of the framing: a marker while idle opens a report, the next four bytes close it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "receivedecoder.h"

#define CHECK(condition) \
    do { \
        if (!(condition)) \
            std::abort(); \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    ReceiveDecoder decoder;
    int open = -1; // index of the current report's marker, -1 while idle
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t b = data[i];
        const DecodeResult r = decoder.onReceive(b);
        if (open < 0) {
            if (b == 0x53 || b == 0x4C) {
                CHECK(r.kind == DecodeResult::Kind::Nothing);
                open = static_cast<int>(i);
            } else {
                CHECK(r.kind == DecodeResult::Kind::ReplyByte && r.replyByte == b);
            }
        } else if (static_cast<int>(i) - open < 4) {
            CHECK(r.kind == DecodeResult::Kind::Nothing);
        } else {
            CHECK(r.kind == DecodeResult::Kind::KeyMessage);
            const IrKeyMessage &m = r.message;
            CHECK(m.pressKind == (data[open] == 0x53 ? PressKind::Short : PressKind::Long));
            CHECK(m.userCode1 == data[open + 1] && m.userCode2 == data[open + 2]);
            CHECK(m.operationCode == data[open + 3] && m.inverseCode == b);
            open = -1;
        }
        // The decoder's own state says the same.
        const bool collecting = decoder.pendingMarker() != ReceiveDecoder::Marker::None;
        CHECK(collecting == (open >= 0));
        CHECK(decoder.irByteCount() >= 0 && decoder.irByteCount() <= 4);
        if (collecting)
            CHECK(decoder.irByteCount() == static_cast<int>(i) - open);
    }
    return 0;
}

#pragma once

#include <QByteArray>

#include <array>
#include <cstdint>
#include <vector>

enum class PressKind : std::uint8_t { Short, Long };

// One infrared key report, in wire order after its marker.
struct IrKeyMessage
{
    PressKind pressKind = PressKind::Short;
    std::uint8_t userCode1 = 0;
    std::uint8_t userCode2 = 0;
    std::uint8_t operationCode = 0;
    std::uint8_t inverseCode = 0; // shown as received, never checked against operationCode

    friend bool operator==(const IrKeyMessage &, const IrKeyMessage &) = default;
};

struct DecodeResult
{
    enum class Kind : std::uint8_t { Nothing, ReplyByte, KeyMessage };
    Kind kind = Kind::Nothing;
    std::uint8_t replyByte = 0; // for ReplyByte
    IrKeyMessage message; // for KeyMessage
};

// Splits the board's traffic into one-byte replies and five-byte key reports:
//   0x53 ('S') or 0x4C ('L'), user code 1, user code 2, operation code, inverse code.
// A marker byte while idle starts a report; the next four bytes, whatever they are (markers
// included), complete it. There is no timeout, and a reply byte equal to a marker is taken
// for one.
class ReceiveDecoder
{
public:
    enum class Marker : std::uint8_t { None, S, L };
    static constexpr std::uint8_t shortPressMarker = 0x53;
    static constexpr std::uint8_t longPressMarker = 0x4C;

    DecodeResult onReceive(std::uint8_t b);
    // The bytes as they came off the line: the replies and the key reports they complete, in
    // their order. The start of a report waits for the bytes of the next call.
    std::vector<DecodeResult> feed(const QByteArray &bytes);
    // The bytes of a key report received so far, its marker first; empty between reports.
    QByteArray pendingBytes() const;

    Marker pendingMarker() const { return m_pendingMarker; }
    int irByteCount() const { return m_irByteCount; }

private:
    Marker m_pendingMarker = Marker::None;
    std::array<std::uint8_t, 5> m_irBytes = {};
    std::int16_t m_irByteCount = 0;
};

#include "receivedecoder.h"

DecodeResult ReceiveDecoder::onReceive(std::uint8_t b)
{
    if (m_pendingMarker != Marker::None) {
        m_irBytes[m_irByteCount++] = b;
        if (m_irByteCount < 4)
            return {};
        DecodeResult result {
            DecodeResult::Kind::KeyMessage, 0,
            IrKeyMessage {m_pendingMarker == Marker::S ? PressKind::Short : PressKind::Long,
                          m_irBytes[0], m_irBytes[1], m_irBytes[2], m_irBytes[3]}};
        m_pendingMarker = Marker::None; // the count stays at 4 until the next marker
        return result;
    }
    switch (b) {
    case shortPressMarker:
        m_pendingMarker = Marker::S;
        m_irByteCount = 0;
        return {};
    case longPressMarker:
        m_pendingMarker = Marker::L;
        m_irByteCount = 0;
        return {};
    default:
        return {DecodeResult::Kind::ReplyByte, b, {}};
    }
}

std::vector<DecodeResult> ReceiveDecoder::feed(const QByteArray &bytes)
{
    std::vector<DecodeResult> results;
    for (const char c : bytes) {
        DecodeResult r = onReceive(static_cast<std::uint8_t>(c));
        if (r.kind != DecodeResult::Kind::Nothing)
            results.push_back(r);
    }
    return results;
}

QByteArray ReceiveDecoder::pendingBytes() const
{
    if (m_pendingMarker == Marker::None)
        return {};
    QByteArray bytes(1, char(m_pendingMarker == Marker::S ? shortPressMarker : longPressMarker));
    for (int i = 0; i < m_irByteCount; ++i)
        bytes.append(char(m_irBytes[i]));
    return bytes;
}

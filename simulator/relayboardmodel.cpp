#include "relayboardmodel.h"

std::vector<std::uint8_t> RelayBoardModel::receive(std::uint8_t b, Millis now)
{
    advanceTo(now);
    const auto highHalf = m_highHalf;
    m_highHalf.reset();

    if (b & 0x80) {
        const int channel = b & 0x03;
        const int half = (b >> 2) & 0x0F;
        if (b & 0x40) {
            startDelay(channel, now, Millis(half) * 16 * 1000);
            m_highHalf = HighHalf {channel, now, Millis(half) * 16};
        } else if (highHalf && highHalf->channel == channel) {
            // The low half completes the duration the high half started.
            startDelay(channel, highHalf->start, (highHalf->seconds + half) * 1000);
        } else {
            startDelay(channel, now, Millis(half) * 1000);
        }
        return {};
    }

    const int channels = b & 0x0F;
    switch (b >> 4) {
    case 0:
        m_relays = static_cast<std::uint8_t>(channels);
        break;
    case 1:
        m_relays |= channels;
        break;
    case 2:
        m_relays &= static_cast<std::uint8_t>(~channels);
        break;
    case 3:
        return {m_relays};
    default:
        return {};
    }
    // A relay switched by hand is no longer timed.
    for (int ch = 0; ch < 4; ++ch)
        if (channels & (1 << ch))
            m_releaseAt[ch].reset();
    return {};
}

void RelayBoardModel::startDelay(int channel, Millis start, Millis duration)
{
    m_relays |= static_cast<std::uint8_t>(1 << channel);
    m_releaseAt[channel] = start + duration;
}

void RelayBoardModel::advanceTo(Millis now)
{
    for (int ch = 0; ch < 4; ++ch) {
        if (m_releaseAt[ch] && *m_releaseAt[ch] <= now) {
            m_relays &= static_cast<std::uint8_t>(~(1 << ch));
            m_releaseAt[ch].reset();
        }
    }
}

std::optional<RelayBoardModel::Millis> RelayBoardModel::nextDeadline() const
{
    std::optional<Millis> next;
    for (const auto &at : m_releaseAt)
        if (at && (!next || *at < *next))
            next = at;
    return next;
}

std::array<std::uint8_t, 5> RelayBoardModel::keyReport(bool longPress, std::uint8_t userCode1,
                                                       std::uint8_t userCode2,
                                                       std::uint8_t operation, std::uint8_t inverse)
{
    return {static_cast<std::uint8_t>(longPress ? 0x4C : 0x53), userCode1, userCode2, operation,
            inverse};
}

#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

// What a relay board does with the console's command bytes, on a clock the caller drives.
//
//   0000 cccc  set the relays to cccc (bit 0 = CH1 .. bit 3 = CH4)
//   0001 cccc  energise the relays in cccc
//   0010 cccc  release the relays in cccc
//   0011 xxxx  answer one byte: the relay states in bits 0..3
//   11hh hhnn  delay, high half: energise channel nn, release it after hhhh * 16 s
//   10ll llnn  delay, low half: energise channel nn, release it after llll s; right after a high
//              half for the same channel the two halves make one duration
//
// Anything else (0100 .. 0111) is ignored.
class RelayBoardModel
{
public:
    using Millis = std::int64_t;

    // Handles one received byte at time `now`; returns the bytes the board answers.
    std::vector<std::uint8_t> receive(std::uint8_t b, Millis now);
    // Releases every timed relay whose time has come by `now`.
    void advanceTo(Millis now);
    // When the next timed relay falls due, if any is running.
    std::optional<Millis> nextDeadline() const;

    std::uint8_t relays() const { return m_relays; }

    // The five bytes of an infrared key report.
    static std::array<std::uint8_t, 5> keyReport(bool longPress, std::uint8_t userCode1,
                                                 std::uint8_t userCode2, std::uint8_t operation,
                                                 std::uint8_t inverse);

private:
    void startDelay(int channel, Millis start, Millis duration);

    std::uint8_t m_relays = 0;
    std::array<std::optional<Millis>, 4> m_releaseAt; // per channel
    // The last byte was a high half: its channel, when it came, and its seconds.
    struct HighHalf
    {
        int channel;
        Millis start;
        Millis seconds;
    };
    std::optional<HighHalf> m_highHalf;
};

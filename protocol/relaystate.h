#pragma once

#include <QJsonObject>
#include <QString>

#include <cstdint>

// The board's answer to the read-state command: one byte, bit 0 for CH1 up to bit 3 for CH4,
// set while the channel's relay is energised. The higher bits carry nothing.
namespace RelayState {

constexpr int channels = 4;

constexpr bool energised(std::uint8_t state, int channel)
{
    return (state >> channel) & 1;
}

// The energised channels in the interface language: "吸合：CH1、CH3", "吸合：无" when none.
QString energisedText(std::uint8_t state);

// {"ch1":"ON","ch2":"OFF",...}, as relay-mqtt publishes the state and relayctl prints it.
QJsonObject channelsJson(std::uint8_t state);

} // namespace RelayState

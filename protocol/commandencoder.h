#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>

#include "relaystate.h"

// Positions in the command-code list; the position is the operation code.
enum class RelayOperation : std::int16_t {
    None = -1,
    SetState = 0,
    Energise = 1,
    Release = 2,
    ReadState = 3,
    DelayedRelay = 4,
};

// The five list texts, in list order.
// In the interface language (translated in the "RelayOperation" context).
QString relayOperationText(RelayOperation operation);

struct CommandSelection
{
    RelayOperation operation = RelayOperation::None; // the list entry chosen, if any
    std::array<int, RelayState::channels> channelFlags = {}; // CH1..CH4, 0 or 1
    QString delayText; // exactly as typed
    int delayChannel = 0; // 0..3 for CH1..CH4
};

// The bytes the next send writes, first byte first.
struct CommandBuffer
{
    std::array<std::uint8_t, 2> bytes = {};
    std::int16_t count = 0;
};

struct CommandPreview
{
    enum class SecondField { Unchanged, Hidden, Shown };
    QString firstByteText;
    SecondField secondField = SecondField::Unchanged;
    QString secondByteText; // meaningful only when secondField is Shown
};

class CommandEncoder
{
public:
    void clear();
    void append(std::uint8_t b);
    CommandPreview compose(const CommandSelection &selection);

    // One command without a selection to compose from: set, energise or release the flagged
    // channels, or read the state (flags ignored)...
    static QByteArray channelCommand(RelayOperation operation,
                                     const std::array<int, RelayState::channels> &flags = {});
    // ...or the timed relay of `seconds` (1..255) on `channel` (0 for CH1); empty outside those.
    static QByteArray timedRelay(int channel, int seconds);

    QByteArray bytes() const;
    int count() const { return m_buffer.count; }

private:
    CommandBuffer m_buffer;
};

#include "commandencoder.h"

#include <QCoreApplication>
#include <iterator>

#include "delaynumber.h"
#include "hexbytetext.h"

QString relayOperationText(RelayOperation operation)
{
    static const char *const texts[] = {
        QT_TRANSLATE_NOOP("RelayOperation", "0000:设置继电器状态"),
        QT_TRANSLATE_NOOP("RelayOperation", "0001:使继电器吸合"),
        QT_TRANSLATE_NOOP("RelayOperation", "0010:使继电器释放"),
        QT_TRANSLATE_NOOP("RelayOperation", "0011:获取继电器状态"),
        QT_TRANSLATE_NOOP("RelayOperation", "1xxx:启动延时继电器"),
    };
    const int i = static_cast<int>(operation);
    if (i < 0 || i >= int(std::size(texts)))
        return {};
    return QCoreApplication::translate("RelayOperation", texts[i]);
}

void CommandEncoder::clear()
{
    m_buffer.count = 0;
}

void CommandEncoder::append(std::uint8_t b)
{
    // A third byte has no place in any command and is dropped.
    if (m_buffer.count >= 2)
        return;
    m_buffer.bytes[m_buffer.count++] = b;
}

QByteArray CommandEncoder::bytes() const
{
    return QByteArray(reinterpret_cast<const char *>(m_buffer.bytes.data()), m_buffer.count);
}

CommandPreview CommandEncoder::compose(const CommandSelection &selection)
{
    using SecondField = CommandPreview::SecondField;
    const QString none = QStringLiteral("--");
    clear();

    const RelayOperation operation = selection.operation;
    const int code = static_cast<int>(operation);
    if (operation == RelayOperation::None)
        return {none, SecondField::Unchanged, {}};

    if (code >= 0 && code <= 3) {
        const auto b = std::uint8_t(channelCommand(operation, selection.channelFlags)[0]);
        append(b);
        return {hexByteText(b), SecondField::Hidden, {}};
    }
    if (operation != RelayOperation::DelayedRelay)
        return {none, SecondField::Hidden, {}};

    const DelayNumber delay = parseDelayNumber(selection.delayText);
    if (!delay.isDelay())
        return {none, SecondField::Hidden, {}};

    const bool known = selection.delayChannel >= 0 && selection.delayChannel < RelayState::channels;
    for (const char b : timedRelay(known ? selection.delayChannel : 0, delay.value))
        append(std::uint8_t(b));

    CommandPreview preview {hexByteText(m_buffer.bytes[0]), SecondField::Hidden, {}};
    if (m_buffer.count >= 2) {
        preview.secondField = SecondField::Shown;
        preview.secondByteText = hexByteText(m_buffer.bytes[1]);
    }
    return preview;
}

QByteArray CommandEncoder::channelCommand(RelayOperation operation,
                                          const std::array<int, RelayState::channels> &flags)
{
    const int code = static_cast<int>(operation);
    if (code < 0 || code > 3)
        return {};
    // High nibble: operation code; bits 0..3: CH1..CH4.
    int b = code * 16;
    for (int ch = 0; ch < RelayState::channels; ++ch)
        b += (flags[ch] ? 1 : 0) << ch;
    return QByteArray(1, char(b));
}

QByteArray CommandEncoder::timedRelay(int channel, int seconds)
{
    if (seconds < 1 || seconds > 255 || channel < 0 || channel >= RelayState::channels)
        return {};
    // The duration travels as two 4-bit halves, high half first, each omitted when zero:
    //   high half: 11hh hhcc    low half: 10ll llcc    (cc = channel 0..3)
    QByteArray bytes;
    if (const int hi = seconds / 16; hi > 0)
        bytes.append(char(0xC0 + 4 * hi + channel));
    if (const int lo = seconds % 16; lo > 0)
        bytes.append(char(0x80 + 4 * lo + channel));
    return bytes;
}

#include "relaystate.h"

#include <QCoreApplication>
#include <QStringList>

namespace RelayState {

QString energisedText(std::uint8_t state)
{
    QStringList on;
    for (int ch = 0; ch < channels; ++ch) {
        if (energised(state, ch))
            on << QStringLiteral("CH%1").arg(ch + 1);
    }
    const QString list = on.isEmpty() ? QCoreApplication::translate("RelayState", "无")
                                      : on.join(QCoreApplication::translate("RelayState", "、"));
    return QCoreApplication::translate("RelayState", "吸合：%1").arg(list);
}

QJsonObject channelsJson(std::uint8_t state)
{
    QJsonObject object;
    for (int ch = 0; ch < channels; ++ch)
        object.insert(QStringLiteral("ch%1").arg(ch + 1),
                      energised(state, ch) ? QStringLiteral("ON") : QStringLiteral("OFF"));
    return object;
}

} // namespace RelayState

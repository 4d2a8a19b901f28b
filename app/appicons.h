#pragma once

#include <QIcon>
#include <QString>

// The icons compiled into the program (app/icons, resource prefix /icons).
namespace AppIcons {
inline QString application()
{
    return QStringLiteral(":/icons/relay-console.png");
}
namespace detail {
inline QIcon tag(const char *name)
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/tag-%1.png").arg(QLatin1String(name)));
    for (const int size : {24, 32})
        icon.addFile(QStringLiteral(":/icons/tag-%1-%2.png").arg(QLatin1String(name)).arg(size));
    return icon;
}
} // namespace detail
// The key list's tags: 16 px, and 24 and 32 px for larger fonts.
inline QIcon shortPress()
{
    return detail::tag("short");
}
inline QIcon longPress()
{
    return detail::tag("long");
}
} // namespace AppIcons

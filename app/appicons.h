#pragma once

#include <QString>

// The icons compiled into the program (app/icons, resource prefix /icons).
namespace AppIcons {
inline QString application()
{
    return QStringLiteral(":/icons/relay-console.png");
}
inline QString shortPress()
{
    return QStringLiteral(":/icons/tag-short.png");
}
inline QString longPress()
{
    return QStringLiteral(":/icons/tag-long.png");
}
} // namespace AppIcons

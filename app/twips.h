#pragma once

#include <QRect>

// Layouts are drawn up in twips (1/1440 inch); at 96 dpi 15 twips make one pixel, and Qt's
// high-DPI scaling takes it from there.
constexpr int twips(int t)
{
    return (t + 7) / 15;
}
constexpr QRect twipsRect(int left, int top, int width, int height)
{
    return QRect(twips(left), twips(top), twips(width), twips(height));
}

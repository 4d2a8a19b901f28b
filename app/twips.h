#pragma once

#include <QRect>
#include <QtGlobal>

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

// The layouts were drawn up for a 9 pt font at 96 dpi (12 pixels). With a larger font every
// place grows by the same factor, so that a window keeps its look; it never shrinks.
inline constexpr qreal designFontPixels = 12.0;
inline qreal fontScale(qreal fontPixels)
{
    return fontPixels > designFontPixels ? fontPixels / designFontPixels : 1.0;
}

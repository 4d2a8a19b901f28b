#pragma once

#include <QRect>
#include <QSize>

#include <array>
#include <cstring>

#include "twips.h"

// Where each control of the main window sits, in twips, as the window was drawn up. The
// window places its controls from this table, and its test checks them against it.
struct ControlPlace
{
    const char *name;
    bool inFrame; // placed inside Frame1 rather than on the window
    QRect twips;
};

namespace MainWindowLayout {

// The client area.
inline constexpr QSize clientTwips {4185, 5175};

inline constexpr std::array<ControlPlace, 27> places {{
    {"Label6", false, {240, 240, 1095, 255}},
    {"cboPort", false, {1440, 210, 1215, 315}},
    {"Label1", false, {240, 720, 1095, 255}},
    {"cboOperation", false, {1440, 690, 2055, 315}},
    {"Frame1", false, {240, 1200, 3735, 1575}},
    {"Label2", true, {360, 480, 855, 255}},
    {"cbCh1", true, {1680, 480, 735, 255}},
    {"cbCh2", true, {2520, 480, 735, 255}},
    {"Label3", true, {360, 960, 855, 255}},
    {"cbCh3", true, {1680, 960, 735, 255}},
    {"cbCh4", true, {2520, 960, 735, 255}},
    // The option buttons of the delay command share the check boxes' places.
    {"rbCH1", true, {1680, 480, 615, 255}},
    {"rbCH2", true, {2520, 480, 735, 255}},
    {"rbCH3", true, {1680, 960, 615, 255}},
    {"rbCH4", true, {2520, 960, 615, 255}},
    {"Label8", false, {240, 3000, 1095, 255}},
    {"txtDelay", false, {1440, 2985, 615, 285}},
    {"Label9", false, {2160, 3000, 975, 255}},
    {"Label4", false, {240, 3480, 1095, 255}},
    {"txtByteSend", false, {1440, 3465, 615, 285}},
    {"txtByteSend2", false, {2160, 3465, 615, 285}},
    {"Label5", false, {240, 3960, 1095, 255}},
    {"txtByteRcv", false, {1440, 3945, 615, 285}},
    {"cmdOpenSerial", false, {480, 4440, 975, 375}},
    {"cmdSend", false, {1560, 4440, 975, 375}},
    {"cmdQuit", false, {2640, 4440, 975, 375}},
    // Drawn wider than the window; the window keeps it inside the client area.
    {"Label7", false, {240, 4920, 4095, 255}},
}};

// The table grows with the font as every layout does (twips.h).
using ::designFontPixels;
using ::fontScale;
inline QRect scaled(const QRect &r, qreal scale)
{
    const QRect p = twipsRect(r.x(), r.y(), r.width(), r.height());
    return QRect(qRound(p.x() * scale), qRound(p.y() * scale), qRound(p.width() * scale),
                 qRound(p.height() * scale));
}

// The place of the control with this name; a name missing from the table is a programming
// error and gets an empty place.
inline ControlPlace place(const char *name)
{
    for (const ControlPlace &p : places)
        if (std::strcmp(p.name, name) == 0)
            return p;
    return {name, false, {}};
}

} // namespace MainWindowLayout

#pragma once

#include <QImage>
#include <QRect>
#include <QString>
#include <QWidget>

#include <functional>

// Whether a control draws its text whole, told by rendering alone and not by any arithmetic of
// the window's: the control is rendered with and without its text, at its own width and at a
// generous width. The pixels that the text changes must be the same at both widths, wherever
// the text sits (left or centred). A text that is clipped, cut by the frame or covered by an
// arrow changes fewer or other pixels at the control's own width.
namespace TextFit {

// The bounding rectangle of the pixels in which two renderings differ.
inline QRect differing(const QImage &a, const QImage &b)
{
    QRect box;
    for (int y = 0; y < a.height(); ++y) {
        const auto *la = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const auto *lb = reinterpret_cast<const QRgb *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            if (la[x] != lb[x])
                box |= QRect(x, y, 1, 1);
        }
    }
    return box;
}

// The widget alone, without its children (a group box's are checked on their own).
inline QImage renderAlone(QWidget *w)
{
    QImage image(w->size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    w->render(&image, {}, {}, QWidget::DrawWindowBackground);
    return image;
}

// Compares the text's pixels at the control's own width with those with room to spare. Empty
// when they are the same; otherwise what differs.
inline QString compare(const QImage &ownWith, const QImage &ownWithout, const QImage &spareWith,
                       const QImage &spareWithout)
{
    const QRect whole = differing(spareWith, spareWithout);
    const QRect shown = differing(ownWith, ownWithout);
    if (whole.isEmpty())
        return QStringLiteral("no text drawn even with room to spare");
    if (shown.size() != whole.size())
        return QStringLiteral("text drawn %1x%2 px, %3x%4 px with room to spare")
            .arg(shown.width())
            .arg(shown.height())
            .arg(whole.width())
            .arg(whole.height());
    if (ownWith.copy(shown) != spareWith.copy(whole))
        return QStringLiteral("text drawn differently than with room to spare");
    return {};
}

// `showText(true)` puts the text to check into the control, `showText(false)` takes it out.
// Empty when the text is drawn whole; otherwise what differs. The control gets its size and
// the text back.
inline QString problem(QWidget *w, const std::function<void(bool)> &showText, int extraWidth = 400)
{
    const QSize size = w->size();
    const auto render = [w](int width) {
        w->resize(width, w->height());
        return renderAlone(w);
    };
    showText(true);
    const QImage ownWith = render(size.width());
    const QImage spareWith = render(size.width() + extraWidth);
    showText(false);
    const QImage ownWithout = render(size.width());
    const QImage spareWithout = render(size.width() + extraWidth);
    showText(true);
    w->resize(size);
    return compare(ownWith, ownWithout, spareWith, spareWithout);
}

} // namespace TextFit

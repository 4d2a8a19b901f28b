// Draws the program's icons into PNG files (app/icons). Run it again only to change the art:
//   cmake --build build --target drawicons && build/tools/drawicons/drawicons app/icons
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

namespace {

void drawScreen(QPainter &p, QRectF body, QColor glass)
{
    p.setPen(QPen(QColor(40, 40, 48), 1));
    p.setBrush(QColor(205, 205, 212));
    p.drawRoundedRect(body, 1.5, 1.5);
    p.setBrush(glass);
    p.drawRect(body.adjusted(2, 2, -2, -2));
    // foot
    const QPointF mid(body.center().x(), body.bottom());
    p.setBrush(QColor(120, 120, 130));
    p.drawRect(QRectF(mid.x() - 1.5, mid.y(), 3, 2));
    p.drawRect(QRectF(mid.x() - 4, mid.y() + 2, 8, 1.5));
}

// Drawn on a 32-unit grid, scaled to the size asked for (app/icons/relay-console.svg is the
// same drawing).
QImage computers(int size = 32)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    // the cable first, so the screens sit on top of its ends
    QPainterPath cable;
    cable.moveTo(8, 13);
    cable.cubicTo(8, 30, 24, 4, 24, 24);
    p.setPen(QPen(QColor(20, 90, 200), 2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(cable);
    drawScreen(p, QRectF(0.5, 1.5, 15, 11), QColor(60, 150, 230));
    drawScreen(p, QRectF(16.5, 14.5, 15, 11), QColor(60, 190, 120));
    return image;
}

QImage tag(QColor fill)
{
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(8, 8);
    p.rotate(-45); // lying diagonally
    QPainterPath shape;
    shape.moveTo(-7, -3.5);
    shape.lineTo(3, -3.5);
    shape.lineTo(7, 0);
    shape.lineTo(3, 3.5);
    shape.lineTo(-7, 3.5);
    shape.closeSubpath();
    p.setPen(QPen(fill.darker(170), 1));
    p.setBrush(fill);
    p.drawPath(shape);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(2.5, 0), 1.3, 1.3); // the string hole
    return image;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    const bool ok = computers().save(dir + "/relay-console.png")
        && tag(QColor(40, 170, 60)).save(dir + "/tag-short.png")
        && tag(QColor(240, 90, 30)).save(dir + "/tag-long.png");
    if (!ok)
        return 1;
    // The sizes a desktop's icon theme looks for, installed under hicolor/NxN/apps.
    for (const int size : {16, 24, 48, 64, 128, 256}) // 32: relay-console.png {
        if (!computers(size).save(dir + QStringLiteral("/relay-console-%1.png").arg(size)))
            return 1;
}
return 0;
}

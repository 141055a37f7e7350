// Draws the Pelorin emblem (118 x 122, RGBA, transparent background):
// a panel screen in the accent colour with a pulse line and a pointer,
// standing on a short foot. Shapes are bold so the emblem stays legible at
// 32 x 32 on the dark title bar.
//
// Usage: pelorin_drawlogo <output.png> [size]
// With a size, the emblem is drawn at that scale, centred on a transparent
// size x size square: the desktop icons are rendered from the shapes rather
// than scaled from the PNG, so they stay sharp at 256 x 256.

#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const int side = argc > 2 ? std::atoi(argv[2]) : 0;
    if (argc < 2 || argc > 3 || (argc == 3 && (side < 16 || side > 1024))) {
        std::fprintf(stderr, "usage: %s <output.png> [size 16..1024]\n", argv[0]);
        return 2;
    }

    const QSize emblem(118, 122);
    QImage image(side ? QSize(side, side) : emblem, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    if (side) {
        const qreal scale = qreal(side) / emblem.height();
        p.translate((side - emblem.width() * scale) / 2, 0);
        p.scale(scale, scale);
    }

    const QColor accent(0x62, 0xde, 0xba);
    const QColor accentDeep(0x2f, 0xa8, 0x8e);
    const QColor screen(0x0e, 0x1a, 0x24);

    // Screen frame.
    QLinearGradient frameFill(0, 4, 0, 92);
    frameFill.setColorAt(0, accent);
    frameFill.setColorAt(1, accentDeep);
    QPainterPath frame;
    frame.addRoundedRect(QRectF(3, 4, 112, 86), 16, 16);
    p.fillPath(frame, frameFill);

    QPainterPath glass;
    glass.addRoundedRect(QRectF(14, 15, 90, 64), 8, 8);
    p.fillPath(glass, screen);

    // Pulse line across the screen: the live signal of a machine.
    QPen pulse(accent, 8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pulse);
    const QPointF wave[]
        = { { 22, 50 }, { 40, 50 }, { 50, 28 }, { 62, 68 }, { 72, 42 }, { 78, 50 }, { 96, 50 } };
    p.drawPolyline(wave, int(sizeof wave / sizeof wave[0]));

    // Foot and base.
    p.setPen(Qt::NoPen);
    p.setBrush(accentDeep);
    QPainterPath neck;
    neck.moveTo(48, 90);
    neck.lineTo(70, 90);
    neck.lineTo(76, 108);
    neck.lineTo(42, 108);
    neck.closeSubpath();
    p.drawPath(neck);
    p.setBrush(accent);
    p.drawRoundedRect(QRectF(26, 106, 66, 12), 6, 6);

    // Pointer at the lower right of the screen: remote control.
    QPainterPath arrow;
    arrow.moveTo(84, 58);
    arrow.lineTo(84, 88);
    arrow.lineTo(91, 81);
    arrow.lineTo(97, 94);
    arrow.lineTo(103, 91);
    arrow.lineTo(97, 78);
    arrow.lineTo(107, 78);
    arrow.closeSubpath();
    p.setPen(QPen(screen, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::white);
    p.drawPath(arrow);
    p.end();

    if (!image.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "could not write %s\n", argv[1]);
        return 1;
    }
    return 0;
}

#include "pixelformat.h"

#include <QCoreApplication>
#include <QtEndian>

#include <cstring>

QByteArray PixelFormat::toWire() const
{
    QByteArray out(16, '\0');
    auto *p = reinterpret_cast<uchar *>(out.data());
    p[0] = bitsPerPixel;
    p[1] = depth;
    p[2] = bigEndian ? 1 : 0;
    p[3] = trueColour ? 1 : 0;
    qToBigEndian<quint16>(redMax, p + 4);
    qToBigEndian<quint16>(greenMax, p + 6);
    qToBigEndian<quint16>(blueMax, p + 8);
    p[10] = redShift;
    p[11] = greenShift;
    p[12] = blueShift;
    return out;
}

PixelFormat PixelFormat::fromWire(const char *bytes)
{
    const auto *p = reinterpret_cast<const uchar *>(bytes);
    PixelFormat f;
    f.bitsPerPixel = p[0];
    f.depth = p[1];
    f.bigEndian = p[2] != 0;
    f.trueColour = p[3] != 0;
    f.redMax = qFromBigEndian<quint16>(p + 4);
    f.greenMax = qFromBigEndian<quint16>(p + 6);
    f.blueMax = qFromBigEndian<quint16>(p + 8);
    f.redShift = p[10];
    f.greenShift = p[11];
    f.blueShift = p[12];
    return f;
}

QString PixelFormat::refusal() const
{
    if (!trueColour)
        return QCoreApplication::translate("PixelFormat",
            "клиент запросил палитру цветов, панель передаёт "
            "только цвета true colour");
    if (bitsPerPixel != 8 && bitsPerPixel != 16 && bitsPerPixel != 32)
        return QCoreApplication::translate("PixelFormat", "неподдерживаемая глубина цвета: %1 бит")
            .arg(bitsPerPixel);
    if (redMax == 0 || greenMax == 0 || blueMax == 0 || redShift >= bitsPerPixel
        || greenShift >= bitsPerPixel || blueShift >= bitsPerPixel)
        return QCoreApplication::translate("PixelFormat", "некорректный формат пикселей");
    return {};
}

QByteArray PixelFormat::encode(const QImage &image, const QRect &area) const
{
    const int bytesPerPixel = bitsPerPixel / 8;
    QByteArray out(qsizetype(area.width()) * area.height() * bytesPerPixel, Qt::Uninitialized);
    auto *dst = reinterpret_cast<uchar *>(out.data());
    const bool native = bitsPerPixel == 32 && redMax == 255 && greenMax == 255 && blueMax == 255
        && redShift == 16 && greenShift == 8 && blueShift == 0
        && bigEndian == (Q_BYTE_ORDER == Q_BIG_ENDIAN);
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const auto *src = reinterpret_cast<const QRgb *>(image.constScanLine(y)) + area.left();
        if (native) {
            // RGB32 in memory is already this format: the common case costs one copy per row.
            std::memcpy(dst, src, size_t(area.width()) * 4);
            dst += area.width() * 4;
            continue;
        }
        for (int x = 0; x < area.width(); ++x) {
            const QRgb c = src[x];
            const quint32 v = quint32((qRed(c) * redMax + 127) / 255) << redShift
                | quint32((qGreen(c) * greenMax + 127) / 255) << greenShift
                | quint32((qBlue(c) * blueMax + 127) / 255) << blueShift;
            switch (bytesPerPixel) {
            case 1:
                *dst = uchar(v);
                break;
            case 2:
                bigEndian ? qToBigEndian<quint16>(quint16(v), dst)
                          : qToLittleEndian<quint16>(quint16(v), dst);
                break;
            default:
                bigEndian ? qToBigEndian<quint32>(v, dst) : qToLittleEndian<quint32>(v, dst);
                break;
            }
            dst += bytesPerPixel;
        }
    }
    return out;
}

#include "hextiledecoder.h"

namespace {

constexpr int tileSide = 16;
// Subencoding bits.
constexpr int rawTile = 1;
constexpr int backgroundSpecified = 2;
constexpr int foregroundSpecified = 4;
constexpr int anySubrects = 8;
constexpr int subrectsColoured = 16;

} // namespace

void HextileDecoder::reset()
{
    area = QRect();
    tileX = tileY = 0;
}

void HextileDecoder::begin(const QRect &rectangle)
{
    area = rectangle;
    tileX = tileY = 0;
    background = foreground = 0xFF000000u;
}

RectangleDecoder::Result HextileDecoder::decode(QImage &image, QByteArrayView input)
{
    Result r;
    const Pixels px(image);
    const auto *data = reinterpret_cast<const uchar *>(input.data());
    // An empty rectangle has no tiles and no bytes.
    while (!area.isEmpty() && tileY < area.height()) {
        if (r.pixels >= stepWork)
            return r;
        const int w = std::min(tileSide, area.width() - tileX);
        const int h = std::min(tileSide, area.height() - tileY);
        const uchar *p = data + r.consumed;
        const qsizetype have = input.size() - r.consumed;
        if (have < 1) {
            r.needed = 1;
            return r;
        }
        // Bits above the five defined ones are ignored, as the reference decoders do.
        const int sub = p[0] & 31;
        // The tile's size is known from at most its first ten bytes.
        qsizetype size = 1;
        if (sub & rawTile) {
            size += 4 * qsizetype(w) * h;
        } else {
            size += (sub & backgroundSpecified ? 4 : 0) + (sub & foregroundSpecified ? 4 : 0);
            if (sub & anySubrects) {
                if (have < size + 1) {
                    r.needed = size + 1;
                    return r;
                }
                size += 1 + qsizetype(p[size]) * (sub & subrectsColoured ? 6 : 2);
            }
        }
        if (have < size) {
            r.needed = size;
            return r;
        }

        const int x0 = area.x() + tileX, y0 = area.y() + tileY;
        const uchar *q = p + 1;
        if (sub & rawTile) {
            for (int row = 0; row < h; ++row) {
                quint32 *out = px.at(x0, y0 + row);
                for (int c = 0; c < w; ++c, q += 4)
                    out[c] = Pixels::fromWire(q);
            }
            r.pixels += qint64(w) * h;
        } else {
            if (sub & backgroundSpecified) {
                background = Pixels::fromWire(q);
                q += 4;
            }
            if (sub & foregroundSpecified) {
                foreground = Pixels::fromWire(q);
                q += 4;
            }
            px.fill(x0, y0, w, h, background);
            r.pixels += qint64(w) * h;
            const int count = sub & anySubrects ? *q++ : 0;
            for (int i = 0; i < count; ++i) {
                quint32 colour = foreground;
                if (sub & subrectsColoured) {
                    colour = Pixels::fromWire(q);
                    q += 4;
                }
                const int sx = q[0] >> 4, sy = q[0] & 15;
                const int sw = (q[1] >> 4) + 1, sh = (q[1] & 15) + 1;
                q += 2;
                if (sx + sw > w || sy + sh > h) {
                    r.status = Result::Failed;
                    r.error = tr("Подпрямоугольник Hextile выходит за пределы плитки");
                    return r;
                }
                px.fill(x0 + sx, y0 + sy, sw, sh, colour);
                r.pixels += sw * sh;
            }
        }
        r.consumed += size;
        tileX += tileSide;
        if (tileX >= area.width()) {
            tileX = 0;
            tileY += tileSide;
        }
    }
    r.status = Result::Done;
    return r;
}

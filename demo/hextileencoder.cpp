#include "hextileencoder.h"

#include <cstring>

namespace {

constexpr int kTile = 16;

enum : quint8 {
    kRawTile = 1,
    kBackgroundSpecified = 2,
    kForegroundSpecified = 4,
    kAnySubrects = 8,
    kSubrectsColoured = 16,
};

// Colours carried from tile to tile within one rectangle; after a raw tile the client may not
// know either, and after a coloured one not the foreground, so those are sent again.
struct Carried
{
    bool backgroundValid = false;
    bool foregroundValid = false;
    quint32 background = 0;
    quint32 foreground = 0;
};

struct Subrect
{
    quint32 colour;
    quint8 xy;
    quint8 wh;
};

class TileEncoder
{
public:
    TileEncoder(const QByteArray &pixels, int stride, int pixelBytes)
        : data(reinterpret_cast<const uchar *>(pixels.constData()))
        , stride(stride)
        , pixelBytes(pixelBytes)
    {
    }

    void write(QByteArray &out, const QRect &tile, Carried &carried);

private:
    void putPixel(QByteArray &out, quint32 key) const
    {
        out.append(reinterpret_cast<const char *>(&key), pixelBytes);
    }
    // Covers the tile's non-background pixels with rectangles of one colour each; false when
    // they would cost more than maxBytes.
    bool findSubrects(int w, int h, quint32 background, bool coloured, int maxBytes);

    const uchar *data;
    int stride;
    int pixelBytes;
    quint32 keys[kTile * kTile] = {};
    Subrect subrects[kTile * kTile] = {};
    int subrectCount = 0;
};

bool TileEncoder::findSubrects(int w, int h, quint32 background, bool coloured, int maxBytes)
{
    const int each = 2 + (coloured ? pixelBytes : 0);
    subrectCount = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const quint32 c = keys[y * w + x];
            if (c == background)
                continue;
            // The wider of the row-first and the column-first rectangle from here.
            int rw = 1;
            while (x + rw < w && keys[y * w + x + rw] == c)
                ++rw;
            int rh = 1;
            for (bool same = true; same && y + rh < h;) {
                for (int i = 0; i < rw && same; ++i)
                    same = keys[(y + rh) * w + x + i] == c;
                rh += same ? 1 : 0;
            }
            int ch = 1;
            while (y + ch < h && keys[(y + ch) * w + x] == c)
                ++ch;
            int cw = 1;
            for (bool same = true; same && x + cw < w;) {
                for (int i = 0; i < ch && same; ++i)
                    same = keys[(y + i) * w + x + cw] == c;
                cw += same ? 1 : 0;
            }
            if (cw * ch > rw * rh) {
                rw = cw;
                rh = ch;
            }
            if ((subrectCount + 1) * each > maxBytes)
                return false;
            subrects[subrectCount++] = { c, quint8(x << 4 | y), quint8((rw - 1) << 4 | (rh - 1)) };
            for (int j = 0; j < rh; ++j)
                for (int i = 0; i < rw; ++i)
                    keys[(y + j) * w + x + i] = background;
        }
    }
    return true;
}

void TileEncoder::write(QByteArray &out, const QRect &tile, Carried &carried)
{
    const int w = tile.width();
    const int h = tile.height();
    const int n = w * h;
    for (int y = 0; y < h; ++y) {
        const uchar *row
            = data + qsizetype(tile.y() + y) * stride + qsizetype(tile.x()) * pixelBytes;
        for (int x = 0; x < w; ++x) {
            quint32 key = 0;
            std::memcpy(&key, row + x * pixelBytes, size_t(pixelBytes));
            keys[y * w + x] = key;
        }
    }

    // The commonest colour is the background; more than two colours need coloured subrects.
    constexpr int kCounted = 16;
    quint32 colours[kCounted] = {};
    int counts[kCounted] = {};
    int distinct = 0;
    for (int i = 0; i < n; ++i) {
        int k = 0;
        while (k < distinct && colours[k] != keys[i])
            ++k;
        if (k == distinct) {
            if (distinct == kCounted)
                continue; // a tile this busy is raw or coloured subrects either way
            colours[distinct++] = keys[i];
        }
        ++counts[k];
    }
    int commonest = 0;
    for (int k = 1; k < distinct; ++k)
        if (counts[k] > counts[commonest])
            commonest = k;
    const quint32 background = colours[commonest];

    quint8 mask = 0;
    const bool newBackground = !carried.backgroundValid || carried.background != background;
    if (newBackground)
        mask |= kBackgroundSpecified;
    const int rawBytes = n * pixelBytes;
    if (distinct == 1) {
        out.append(char(mask));
        if (newBackground)
            putPixel(out, background);
        carried.backgroundValid = true;
        carried.background = background;
        return;
    }
    const bool coloured = distinct > 2;
    const quint32 foreground = colours[commonest == 0 ? 1 : 0];
    const bool newForeground
        = !coloured && (!carried.foregroundValid || carried.foreground != foreground);
    const int headerBytes = (newBackground ? pixelBytes : 0) + (newForeground ? pixelBytes : 0) + 1;
    if (headerBytes < rawBytes && findSubrects(w, h, background, coloured, rawBytes - headerBytes)
        && subrectCount <= 255) {
        mask |= kAnySubrects;
        if (coloured)
            mask |= kSubrectsColoured;
        if (newForeground)
            mask |= kForegroundSpecified;
        out.append(char(mask));
        if (newBackground)
            putPixel(out, background);
        if (newForeground)
            putPixel(out, foreground);
        out.append(char(subrectCount));
        for (int i = 0; i < subrectCount; ++i) {
            if (coloured)
                putPixel(out, subrects[i].colour);
            out.append(char(subrects[i].xy));
            out.append(char(subrects[i].wh));
        }
        carried.backgroundValid = true;
        carried.background = background;
        carried.foregroundValid = !coloured;
        carried.foreground = foreground;
        return;
    }
    out.append(char(kRawTile));
    for (int y = 0; y < h; ++y)
        out.append(reinterpret_cast<const char *>(data) + qsizetype(tile.y() + y) * stride
                + qsizetype(tile.x()) * pixelBytes,
            w * pixelBytes);
    carried = {};
}

} // namespace

QByteArray HextileEncoder::encode(const QImage &image, const QRect &area, const PixelFormat &format)
{
    const int pixelBytes = format.bitsPerPixel / 8;
    const QByteArray pixels = format.encode(image, area);
    TileEncoder tiles(pixels, area.width() * pixelBytes, pixelBytes);
    Carried carried;
    QByteArray out;
    out.reserve(pixels.size() / 4 + 64);
    for (int y = 0; y < area.height(); y += kTile)
        for (int x = 0; x < area.width(); x += kTile)
            tiles.write(out,
                QRect(x, y, qMin(kTile, area.width() - x), qMin(kTile, area.height() - y)),
                carried);
    return out;
}

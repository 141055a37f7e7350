#include "zrleencoder.h"

#include <QtEndian>

#include <zlib.h>

#include <cstring>

namespace {

constexpr int kTile = 64;
constexpr int kMaxPaletteRle = 127;
constexpr int kMaxPacked = 16;

// Which bytes of a wire pixel make its CPIXEL: all of them, or three that hold every colour bit.
struct CpixelLayout
{
    int pixelBytes;
    int offset;
    int size;
};

CpixelLayout cpixelLayout(const PixelFormat &f)
{
    const int pixelBytes = f.bitsPerPixel / 8;
    if (f.bitsPerPixel != 32 || f.depth > 24 || !f.trueColour)
        return { pixelBytes, 0, pixelBytes };
    const quint64 bits = quint64(f.redMax) << f.redShift | quint64(f.greenMax) << f.greenShift
        | quint64(f.blueMax) << f.blueShift;
    // In a little-endian pixel the least significant bytes come first; big-endian the reverse.
    if ((bits & ~quint64(0x00FFFFFF)) == 0)
        return { 4, f.bigEndian ? 1 : 0, 3 };
    if ((bits & ~quint64(0xFFFFFF00)) == 0)
        return { 4, f.bigEndian ? 0 : 1, 3 };
    return { 4, 0, 4 };
}

// Colours of one tile, as the wire pixel bytes read into a number (equal bytes, equal number).
class TilePalette
{
public:
    void clear()
    {
        count = 0;
        std::memset(used, 0, sizeof used);
    }
    // The colour's index; -1 once the tile has more colours than any palette can carry.
    int add(quint32 key, int pixel)
    {
        quint32 slot = (key * 2654435761u) >> 24;
        while (used[slot]) {
            if (keys[slot] == key)
                return indexOf[slot];
            slot = (slot + 1) & 255;
        }
        if (count >= kMaxPaletteRle)
            return -1;
        used[slot] = true;
        keys[slot] = key;
        indexOf[slot] = quint8(count);
        firstAt[count] = pixel;
        return count++;
    }
    int lookup(quint32 key) const
    {
        quint32 slot = (key * 2654435761u) >> 24;
        while (keys[slot] != key || !used[slot])
            slot = (slot + 1) & 255;
        return indexOf[slot];
    }

    int count = 0;
    int firstAt[kMaxPaletteRle] = {}; // a pixel of each colour, for writing the palette
    quint32 keys[256] = {};
    quint8 indexOf[256] = {};
    bool used[256] = {};
};

// Bytes of a run length: 255s, then the remainder (RFC 6143: length - 1 in sum).
int runLengthBytes(int run)
{
    return (run - 1) / 255 + 1;
}

void putRunLength(QByteArray &out, int run)
{
    int rest = run - 1;
    while (rest >= 255) {
        out.append(char(255));
        rest -= 255;
    }
    out.append(char(rest));
}

class TileWriter
{
public:
    TileWriter(const QByteArray &pixels, int stride, const CpixelLayout &layout)
        : data(reinterpret_cast<const uchar *>(pixels.constData()))
        , stride(stride)
        , layout(layout)
    {
    }

    void write(QByteArray &out, const QRect &tile);

private:
    const uchar *pixelAt(int x, int y) const
    {
        return data + qsizetype(y) * stride + qsizetype(x) * layout.pixelBytes;
    }
    quint32 keyAt(int x, int y) const
    {
        quint32 key = 0;
        std::memcpy(&key, pixelAt(x, y), size_t(layout.pixelBytes));
        return key;
    }
    void putCpixel(QByteArray &out, int index) const
    {
        out.append(reinterpret_cast<const char *>(pixels[index]) + layout.offset, layout.size);
    }
    void putPalette(QByteArray &out) const
    {
        for (int i = 0; i < palette.count; ++i)
            putCpixel(out, palette.firstAt[i]);
    }

    const uchar *data;
    int stride;
    CpixelLayout layout;
    TilePalette palette;
    const uchar *pixels[kTile * kTile] = {};
    quint32 keys[kTile * kTile] = {};
};

void TileWriter::write(QByteArray &out, const QRect &tile)
{
    const int n = tile.width() * tile.height();
    palette.clear();
    bool paletteFits = true;
    int runs = 0;
    qsizetype runBytes = 0; // the run lengths of all runs longer than one pixel
    int singles = 0;
    int run = 0;
    int i = 0;
    for (int y = tile.top(); y <= tile.bottom(); ++y) {
        for (int x = tile.left(); x <= tile.right(); ++x, ++i) {
            pixels[i] = pixelAt(x, y);
            keys[i] = keyAt(x, y);
            if (paletteFits && palette.add(keys[i], i) < 0)
                paletteFits = false;
            // Runs continue from one row into the next, as the tile's pixels are one sequence.
            if (i > 0 && keys[i] == keys[i - 1]) {
                ++run;
                continue;
            }
            if (run > 0) {
                ++runs;
                if (run == 1)
                    ++singles;
                else
                    runBytes += runLengthBytes(run);
            }
            run = 1;
        }
    }
    ++runs;
    if (run == 1)
        ++singles;
    else
        runBytes += runLengthBytes(run);

    const int cp = layout.size;
    if (paletteFits && palette.count == 1) {
        out.append(char(1));
        putCpixel(out, 0);
        return;
    }
    const qsizetype rawSize = qsizetype(n) * cp;
    const qsizetype plainRleSize = qsizetype(runs) * cp + runBytes + singles;
    qsizetype packedSize = -1;
    int bits = 0;
    if (paletteFits && palette.count <= kMaxPacked) {
        bits = palette.count <= 2 ? 1 : palette.count <= 4 ? 2 : 4;
        packedSize = qsizetype(palette.count) * cp
            + qsizetype(tile.height()) * ((tile.width() * bits + 7) / 8);
    }
    const qsizetype paletteRleSize
        = paletteFits ? qsizetype(palette.count) * cp + runs + runBytes : -1;

    enum class Kind { Raw, Packed, PlainRle, PaletteRle } kind = Kind::Raw;
    qsizetype best = rawSize;
    if (plainRleSize < best) {
        kind = Kind::PlainRle;
        best = plainRleSize;
    }
    if (paletteRleSize >= 0 && paletteRleSize < best) {
        kind = Kind::PaletteRle;
        best = paletteRleSize;
    }
    if (packedSize >= 0 && packedSize <= best)
        kind = Kind::Packed;

    switch (kind) {
    case Kind::Raw:
        out.append(char(0));
        for (int k = 0; k < n; ++k)
            out.append(reinterpret_cast<const char *>(pixels[k]) + layout.offset, cp);
        return;
    case Kind::Packed: {
        out.append(char(palette.count));
        putPalette(out);
        int k = 0;
        for (int y = 0; y < tile.height(); ++y) {
            uint byte = 0;
            int used = 0;
            for (int x = 0; x < tile.width(); ++x, ++k) {
                byte = byte << bits | uint(palette.lookup(keys[k]));
                used += bits;
                if (used == 8) {
                    out.append(char(byte));
                    byte = 0;
                    used = 0;
                }
            }
            if (used > 0) // each row starts on a byte
                out.append(char(byte << (8 - used)));
        }
        return;
    }
    case Kind::PlainRle:
    case Kind::PaletteRle: {
        const bool withPalette = kind == Kind::PaletteRle;
        out.append(char(withPalette ? 128 + palette.count : 128));
        if (withPalette)
            putPalette(out);
        int k = 0;
        while (k < n) {
            int end = k + 1;
            while (end < n && keys[end] == keys[k])
                ++end;
            const int length = end - k;
            if (withPalette) {
                const int index = palette.lookup(keys[k]);
                out.append(char(length == 1 ? index : index | 128));
                if (length > 1)
                    putRunLength(out, length);
            } else {
                out.append(reinterpret_cast<const char *>(pixels[k]) + layout.offset, cp);
                putRunLength(out, length);
            }
            k = end;
        }
        return;
    }
    }
}

} // namespace

ZrleEncoder::ZrleEncoder()
    : stream(std::make_unique<z_stream_s>())
{
    // Fails only when memory is short; a server without its stream could send nothing valid.
    if (deflateInit(stream.get(), 6) != Z_OK)
        qFatal("ZRLE: zlib could not start");
}

ZrleEncoder::~ZrleEncoder()
{
    deflateEnd(stream.get());
}

QByteArray ZrleEncoder::encode(const QImage &image, const QRect &area, const PixelFormat &format)
{
    const CpixelLayout layout = cpixelLayout(format);
    const QByteArray pixels = format.encode(image, area);
    const int stride = area.width() * layout.pixelBytes;
    // The tile writer holds one 64 × 64 tile of pointers and keys: too big for the stack.
    auto writer = std::make_unique<TileWriter>(pixels, stride, layout);
    QByteArray plain;
    plain.reserve(pixels.size() / 4 + 64);
    for (int y = 0; y < area.height(); y += kTile)
        for (int x = 0; x < area.width(); x += kTile)
            writer->write(
                plain, QRect(x, y, qMin(kTile, area.width() - x), qMin(kTile, area.height() - y)));

    QByteArray out(4, '\0');
    stream->next_in = reinterpret_cast<Bytef *>(plain.data());
    stream->avail_in = uInt(plain.size());
    qsizetype written = 4;
    // With Z_SYNC_FLUSH deflate is done once it leaves room in the output.
    do {
        out.resize(written + qsizetype(deflateBound(stream.get(), stream->avail_in)) + 64);
        stream->next_out = reinterpret_cast<Bytef *>(out.data() + written);
        stream->avail_out = uInt(out.size() - written);
        const int rc = deflate(stream.get(), Z_SYNC_FLUSH);
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            qFatal("ZRLE: deflate failed (%d)", rc);
        written = out.size() - stream->avail_out;
    } while (stream->avail_out == 0);
    out.resize(written);
    qToBigEndian<quint32>(quint32(written - 4), out.data());
    return out;
}

#include "zrledecoder.h"

#include <QtEndian>

// Input stays const: inflate never writes to it.
#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr int tileSide = 64;
// Inflated bytes held at most: far more than the largest unit (a palette of 381 bytes), so a
// refill rarely moves more than a few bytes and mostly happens once per 64 KiB.
constexpr qsizetype windowSize = 64 * 1024;
// How much to read at once while a rectangle's compressed bytes are owed.
constexpr qsizetype readHint = 256 * 1024;

// The length of a run whose length bytes start at q[i] (a sum of bytes, 255 meaning "more
// follows", plus one), with i moved past them: 0 while they are not all here, -1 as soon as the
// run would be longer than `room` pixels.
int runLength(const uchar *q, qsizetype size, qsizetype &i, int room)
{
    int length = 1;
    for (;;) {
        if (i >= size)
            return 0;
        const int b = q[i++];
        length += b;
        if (length > room)
            return -1;
        if (b != 255)
            return length;
    }
}

} // namespace

ZrleDecoder::ZrleDecoder() = default;

ZrleDecoder::~ZrleDecoder()
{
    reset();
}

void ZrleDecoder::reset()
{
    if (stream)
        inflateEnd(stream.get());
    stream.reset();
    streamEnded = false;
    window.reset();
    windowPos = windowEnd = 0;
    compressedLeft = 0;
    area = QRect();
    phase = Phase::Length;
}

void ZrleDecoder::begin(const QRect &rectangle)
{
    area = rectangle;
    phase = Phase::Length;
    discarded = 0;
}

// The most a rectangle's tiles can take inflated: every tile with the subencoding byte, a full
// palette and four bytes a pixel, as plain RLE runs of one do.
qint64 ZrleDecoder::inflatedBound() const
{
    const qint64 tiles = qint64((area.width() + tileSide - 1) / tileSide)
        * ((area.height() + tileSide - 1) / tileSide);
    return tiles * (1 + 3 * 127) + 4 * qint64(area.width()) * area.height();
}

// That, compressed at worst, plus room for zlib's framing.
qint64 ZrleDecoder::lengthBound() const
{
    const qint64 worst = inflatedBound();
    return std::min<qint64>(lengthLimit, worst + worst / 16 + 4096);
}

bool ZrleDecoder::startStream(Result &r)
{
    if (stream)
        return true;
    auto fresh = std::make_unique<z_stream_s>(); // zero: zlib's own allocator
    if (inflateInit(fresh.get()) != Z_OK) {
        r.status = Result::Failed;
        r.error = tr("Недостаточно памяти для распаковки ZRLE");
        return false;
    }
    stream = std::move(fresh);
    window.reset(new uchar[windowSize]);
    return true;
}

RectangleDecoder::Result ZrleDecoder::decode(QImage &image, QByteArrayView input)
{
    Result r;
    if (phase == Phase::Length) {
        if (input.size() < 4) {
            r.needed = 4;
            return r;
        }
        const quint32 length = qFromBigEndian<quint32>(input.data());
        if (length > lengthBound()) {
            r.status = Result::Failed;
            r.error = tr("Слишком длинные сжатые данные ZRLE");
            return r;
        }
        r.consumed = 4;
        if (!startStream(r))
            return r;
        compressedLeft = length;
        tileX = tileY = done = 0;
        tileW = std::min(tileSide, area.width());
        tileH = std::min(tileSide, area.height());
        phase = area.isEmpty() ? Phase::Trailing : Phase::TileStart;
    }
    const Pixels px(image);
    for (;;) {
        if (phase == Phase::Trailing) {
            finish(input, r);
            return r;
        }
        switch (decodeTiles(px, r)) {
        case Stop::Failed:
        case Stop::WorkDone:
            return r;
        case Stop::TilesDone:
            continue;
        case Stop::NeedInflated:
            break;
        }
        if (!inflateMore(input, r))
            return r;
    }
}

ZrleDecoder::Stop ZrleDecoder::failed(Result &r, const QString &error)
{
    r.status = Result::Failed;
    r.error = error;
    return Stop::Failed;
}

// Decodes whole units from the window until it runs short, the tiles are done or the step's work
// is.
ZrleDecoder::Stop ZrleDecoder::decodeTiles(const Pixels &px, Result &r)
{
    for (;;) {
        const uchar *p = window.get() + windowPos;
        const qsizetype have = windowEnd - windowPos;
        const int total = tileW * tileH;
        switch (phase) {
        case Phase::Length:
        case Phase::Trailing:
            return Stop::TilesDone;
        case Phase::TileStart:
            if (r.pixels >= stepWork)
                return Stop::WorkDone;
            if (have < 1)
                return Stop::NeedInflated;
            subencoding = p[0];
            if (subencoding == 1) { // solid
                if (have < 4)
                    return Stop::NeedInflated;
                px.fill(area.x() + tileX, area.y() + tileY, tileW, tileH, Pixels::fromWire(p + 1));
                r.pixels += total;
                windowPos += 4;
                nextTile();
                break;
            }
            if (subencoding == 0) {
                phase = Phase::RawPixels;
            } else if (subencoding <= 16) {
                paletteSize = subencoding;
                phase = Phase::Palette;
            } else if (subencoding == 128) {
                phase = Phase::PlainRuns;
            } else if (subencoding >= 130) {
                paletteSize = subencoding - 128;
                phase = Phase::Palette;
            } else {
                return failed(r, tr("Неизвестное подкодирование ZRLE: %1").arg(subencoding));
            }
            windowPos += 1;
            break;
        case Phase::Palette:
            if (have < 3 * paletteSize)
                return Stop::NeedInflated;
            for (int i = 0; i < paletteSize; ++i)
                palette[i] = Pixels::fromWire(p + 3 * i);
            windowPos += 3 * paletteSize;
            phase = subencoding <= 16 ? Phase::PackedRows : Phase::PaletteRuns;
            break;
        case Phase::RawPixels: {
            const int n = int(std::min<qsizetype>(have / 3, total - done));
            if (n == 0)
                return Stop::NeedInflated;
            const uchar *q = p;
            for (int left = n; left > 0;) {
                const int column = done % tileW;
                const int k = std::min(left, tileW - column);
                quint32 *out = px.at(area.x() + tileX + column, area.y() + tileY + done / tileW);
                for (int i = 0; i < k; ++i, q += 3)
                    out[i] = Pixels::fromWire(q);
                done += k;
                left -= k;
            }
            windowPos += 3 * qsizetype(n);
            r.pixels += n;
            if (done == total)
                nextTile();
            break;
        }
        case Phase::PackedRows: {
            const int bits = paletteSize == 2 ? 1 : paletteSize <= 4 ? 2 : 4;
            const int mask = (1 << bits) - 1;
            const int rowBytes = (tileW * bits + 7) / 8;
            const int rows = int(std::min<qsizetype>(have / rowBytes, tileH - done / tileW));
            if (rows == 0)
                return Stop::NeedInflated;
            for (int i = 0; i < rows; ++i) {
                const uchar *q = p + i * rowBytes;
                quint32 *out = px.at(area.x() + tileX, area.y() + tileY + done / tileW);
                for (int c = 0; c < tileW; ++c) {
                    const int bit = c * bits;
                    const int index = (q[bit >> 3] >> (8 - bits - (bit & 7))) & mask;
                    if (index >= paletteSize)
                        return failed(r, tr("Индекс палитры ZRLE за пределами палитры"));
                    out[c] = palette[index];
                }
                done += tileW;
            }
            windowPos += qsizetype(rows) * rowBytes;
            r.pixels += qint64(rows) * tileW;
            if (done == total)
                nextTile();
            break;
        }
        case Phase::PlainRuns:
        case Phase::PaletteRuns: {
            const bool plainRle = phase == Phase::PlainRuns;
            qsizetype used = 0;
            while (done < total) {
                const uchar *q = p + used;
                const qsizetype left = have - used;
                quint32 colour = 0;
                qsizetype i = 0;
                bool longRun = true;
                if (plainRle) {
                    if (left < 4)
                        break;
                    colour = Pixels::fromWire(q);
                    i = 3;
                } else {
                    if (left < 1)
                        break;
                    const int index = q[0] & 127;
                    if (index >= paletteSize)
                        return failed(r, tr("Индекс палитры ZRLE за пределами палитры"));
                    colour = palette[index];
                    i = 1;
                    longRun = q[0] & 128;
                }
                const int length = longRun ? runLength(q, left, i, total - done) : 1;
                if (length < 0)
                    return failed(r, tr("Серия пикселей ZRLE выходит за пределы плитки"));
                if (length == 0)
                    break;
                put(px, colour, length);
                used += i;
                r.pixels += length;
            }
            windowPos += used;
            if (done < total)
                return Stop::NeedInflated;
            nextTile();
            break;
        }
        }
    }
}

// `count` pixels of one colour from the tile's next pixel on, row by row.
void ZrleDecoder::put(const Pixels &px, quint32 colour, int count)
{
    while (count > 0) {
        const int column = done % tileW;
        const int k = std::min(count, tileW - column);
        Pixels::fillRow(
            px.at(area.x() + tileX + column, area.y() + tileY + done / tileW), k, colour);
        done += k;
        count -= k;
    }
}

void ZrleDecoder::nextTile()
{
    done = 0;
    phase = Phase::TileStart;
    tileX += tileSide;
    if (tileX >= area.width()) {
        tileX = 0;
        tileY += tileSide;
        if (tileY >= area.height()) {
            phase = Phase::Trailing;
            return;
        }
    }
    tileW = std::min(tileSide, area.width() - tileX);
    tileH = std::min(tileSide, area.height() - tileY);
}

// One inflate call over the rectangle's bytes at hand into `room` bytes at `out`: the bytes it
// wrote, or -1 when the stream is corrupt (and r says so). `used` gets the bytes it took.
qsizetype ZrleDecoder::inflateStep(
    QByteArrayView input, Result &r, uchar *out, qsizetype room, qsizetype &used)
{
    const qsizetype offered = std::min<qsizetype>(input.size() - r.consumed, compressedLeft);
    stream->next_in = reinterpret_cast<const Bytef *>(input.data() + r.consumed);
    stream->avail_in = uInt(offered);
    stream->next_out = out;
    stream->avail_out = uInt(room);
    const int status = inflate(stream.get(), Z_SYNC_FLUSH);
    used = offered - qsizetype(stream->avail_in);
    r.consumed += used;
    compressedLeft -= quint32(used);
    if (status == Z_STREAM_END) {
        streamEnded = true;
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
        r.status = Result::Failed;
        r.error = tr("Повреждённые сжатые данные ZRLE");
        return -1;
    }
    return room - qsizetype(stream->avail_out);
}

// Inflates more of the rectangle's bytes into the window. False when nothing new came out: the
// bytes are still on their way (r.needed says how many to read), or it failed.
bool ZrleDecoder::inflateMore(QByteArrayView input, Result &r)
{
    // The partial unit left over moves to the front; it is a few hundred bytes at most.
    if (windowPos > 0) {
        windowEnd -= windowPos;
        std::memmove(window.get(), window.get() + windowPos, size_t(windowEnd));
        windowPos = 0;
    }
    while (!streamEnded) {
        qsizetype used = 0;
        const qsizetype produced
            = inflateStep(input, r, window.get() + windowEnd, windowSize - windowEnd, used);
        if (produced < 0)
            return false;
        windowEnd += produced;
        if (produced > 0)
            return true;
        if (used == 0)
            break;
    }
    // Nothing more came out: the rest is on its way, or there is no more.
    if (streamEnded || compressedLeft == 0) {
        r.status = Result::Failed;
        r.error = tr("Сжатые данные ZRLE закончились раньше прямоугольника");
        return false;
    }
    r.needed = std::min<qsizetype>(compressedLeft, readHint);
    return false;
}

// After the last tile: what the rest of the rectangle's bytes inflate to is discarded, as the
// reference decoders do; real encoders may flush a little more. It is bounded by what the
// tiles themselves could have taken, and counts as work (a zlib tail can inflate a
// thousandfold), a step at a time.
void ZrleDecoder::finish(QByteArrayView input, Result &r)
{
    const auto discard = [&](qsizetype bytes) {
        discarded += bytes;
        r.pixels += (bytes + 3) / 4;
        if (discarded <= inflatedBound())
            return true;
        r.status = Result::Failed;
        r.error = tr("Распакованные данные ZRLE не помещаются в прямоугольник");
        return false;
    };
    if (windowEnd > windowPos && !discard(windowEnd - windowPos))
        return;
    windowPos = windowEnd = 0;
    for (;;) {
        if (r.pixels >= stepWork)
            return;
        qsizetype used = 0;
        if (!streamEnded) {
            const qsizetype produced = inflateStep(input, r, window.get(), windowSize, used);
            if (produced < 0)
                return;
            if (produced > 0) {
                if (!discard(produced))
                    return;
                continue;
            }
        }
        if (compressedLeft == 0) {
            r.status = Result::Done;
            phase = Phase::Length;
            return;
        }
        if (streamEnded) { // and bytes after its end
            r.status = Result::Failed;
            r.error = tr("Повреждённые сжатые данные ZRLE");
            return;
        }
        if (used == 0) {
            r.needed = std::min<qsizetype>(compressedLeft, readHint);
            return;
        }
    }
}

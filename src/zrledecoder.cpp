#include "zrledecoder.h"

#include <QtEndian>

// Input stays const: inflate never writes to it.
#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr int tileSide = 64;
// Inflated bytes held at most. zlib copies the last 32 KiB of every inflate call's output into
// its own history, so the larger the calls, the smaller the share copied twice (here an eighth);
// the largest unit (a palette of 381 bytes) is far smaller, so a refill rarely moves more than a
// few bytes.
constexpr qsizetype windowSize = 256 * 1024;
// Readable bytes past the window's end: a CPIXEL is read as a 32-bit word, its fourth byte
// dropped, and the last one in the window may end at the window's end.
constexpr qsizetype windowSlack = 4;
// Runs are written in stores of four pixels, up to three past a run's end: room for them after
// the tile's last pixel.
constexpr int tileSlack = 3;
// How much to read at once while a rectangle's compressed bytes are owed.
constexpr qsizetype readHint = 256 * 1024;

// A CPIXEL (blue, green, red) as an opaque pixel, read in one load with the byte after it, which
// must be readable.
inline quint32 cpixel(const uchar *p)
{
    return qFromLittleEndian<quint32>(p) | 0xFF000000u;
}

// `length` pixels of one colour from `out` on, in stores of four: up to three pixels past the run
// are written too, for the runs that follow to overwrite. Runs are a few pixels long, and a loop
// of single stores costs about as much again per pixel.
inline void fillRun(quint32 *out, int length, quint32 colour)
{
    const quint64 two = quint64(colour) << 32 | colour;
    const quint32 *const end = out + length;
    do {
        std::memcpy(out, &two, sizeof two);
        std::memcpy(out + 2, &two, sizeof two);
        out += 4;
    } while (out < end);
}

// A packed palette row of `width` pixels, Bits bits an index, most significant first. Returns the
// AND of the colours written: without the alpha of an opaque pixel, an index past the palette was
// among them.
template<int Bits>
quint32 unpackRow(quint32 *out, const uchar *q, int width, const quint32 *palette)
{
    constexpr int perByte = 8 / Bits;
    constexpr int mask = (1 << Bits) - 1;
    quint32 seen = 0xFFFFFFFFu;
    int c = 0;
    for (; c + perByte <= width; c += perByte) {
        const int b = *q++;
        for (int k = 0; k < perByte; ++k) {
            const quint32 colour = palette[(b >> (8 - Bits * (k + 1))) & mask];
            out[c + k] = colour;
            seen &= colour;
        }
    }
    if (c < width) { // the row's last byte, padded
        const int b = *q;
        for (int k = 0; c < width; ++c, ++k) {
            const quint32 colour = palette[(b >> (8 - Bits * (k + 1))) & mask];
            out[c] = colour;
            seen &= colour;
        }
    }
    return seen;
}

// The length of a run whose length bytes start at q (a sum of bytes, 255 meaning "more
// follows", plus one), with `next` set past them: 0 while they are not all before `end`, -1 as
// soon as the run would be longer than `room` pixels. Inlined: most runs take one byte.
inline int runLength(const uchar *q, const uchar *end, int room, const uchar *&next)
{
    int length = 1;
    for (;;) {
        if (q >= end)
            return 0;
        const int b = *q++;
        length += b;
        if (length > room)
            return -1;
        if (b != 255) {
            next = q;
            return length;
        }
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
#if ZLIB_VERNUM >= 0x1290
    // The stream lasts as long as the connection, and its check value would only come at its end:
    // summing every inflated byte for it (Adler-32, a quarter of inflating's cost) is work for
    // nothing. Should a server end its stream, the value is read and not compared.
    inflateValidate(fresh.get(), 0);
#endif
    stream = std::move(fresh);
    window.reset(new uchar[windowSize + windowSlack]());
    tile.reset(new quint32[tileSide * tileSide + tileSlack]);
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
        case Stop::Next: // never returned: decodeTiles() goes on by itself
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
        Stop stop = Stop::TilesDone;
        switch (phase) {
        case Phase::Length:
        case Phase::Trailing:
            break;
        case Phase::TileStart:
            stop = startTile(px, r);
            break;
        case Phase::Palette:
            stop = readPalette();
            break;
        case Phase::RawPixels:
            stop = rawPixels(px, r);
            break;
        case Phase::PackedRows:
            stop = packedRows(px, r);
            break;
        case Phase::PlainRuns:
            stop = plainRuns(px, r);
            break;
        case Phase::PaletteRuns:
            stop = paletteRuns(px, r);
            break;
        }
        if (stop != Stop::Next)
            return stop;
    }
}

// A tile's subencoding byte: a solid tile is painted at once, the others go on to their phase.
ZrleDecoder::Stop ZrleDecoder::startTile(const Pixels &px, Result &r)
{
    if (r.pixels >= stepWork)
        return Stop::WorkDone;
    const uchar *p = window.get() + windowPos;
    const qsizetype have = windowEnd - windowPos;
    if (have < 1)
        return Stop::NeedInflated;
    subencoding = p[0];
    if (subencoding == 1) { // solid
        if (have < 4)
            return Stop::NeedInflated;
        px.fill(area.x() + tileX, area.y() + tileY, tileW, tileH, cpixel(p + 1));
        r.pixels += tileW * tileH;
        windowPos += 4;
        nextTile();
        return Stop::Next;
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
    return Stop::Next;
}

ZrleDecoder::Stop ZrleDecoder::readPalette()
{
    if (windowEnd - windowPos < 3 * paletteSize)
        return Stop::NeedInflated;
    const uchar *p = window.get() + windowPos;
    for (int i = 0; i < paletteSize; ++i)
        palette[i] = cpixel(p + 3 * i);
    windowPos += 3 * paletteSize;
    if (subencoding <= 16) {
        std::fill(palette + paletteSize, palette + 16, 0u); // see packedRows()
        phase = Phase::PackedRows;
    } else {
        phase = Phase::PaletteRuns;
    }
    return Stop::Next;
}

ZrleDecoder::Stop ZrleDecoder::rawPixels(const Pixels &px, Result &r)
{
    const int total = tileW * tileH;
    const int n = int(std::min<qsizetype>((windowEnd - windowPos) / 3, total - done));
    if (n == 0)
        return Stop::NeedInflated;
    const uchar *q = window.get() + windowPos;
    for (int left = n; left > 0;) {
        const int column = done % tileW;
        const int k = std::min(left, tileW - column);
        quint32 *out = px.at(area.x() + tileX + column, area.y() + tileY + done / tileW);
        int i = 0;
        for (; i + 4 <= k; i += 4, q += 12) { // four at a time: a fifth of the work is the loop
            out[i] = cpixel(q);
            out[i + 1] = cpixel(q + 3);
            out[i + 2] = cpixel(q + 6);
            out[i + 3] = cpixel(q + 9);
        }
        for (; i < k; ++i, q += 3)
            out[i] = cpixel(q);
        done += k;
        left -= k;
    }
    windowPos += 3 * qsizetype(n);
    r.pixels += n;
    if (done == total)
        nextTile();
    return Stop::Next;
}

// Whole rows straight into the image. An index past the palette picks one of the zero entries
// readPalette() left there, which the row's AND of colours shows.
ZrleDecoder::Stop ZrleDecoder::packedRows(const Pixels &px, Result &r)
{
    const int bits = paletteSize == 2 ? 1 : paletteSize <= 4 ? 2 : 4;
    const int rowBytes = (tileW * bits + 7) / 8;
    const int rows
        = int(std::min<qsizetype>((windowEnd - windowPos) / rowBytes, tileH - done / tileW));
    if (rows == 0)
        return Stop::NeedInflated;
    const uchar *q = window.get() + windowPos;
    quint32 seen = 0xFFFFFFFFu;
    for (int i = 0; i < rows; ++i, q += rowBytes) {
        quint32 *out = px.at(area.x() + tileX, area.y() + tileY + done / tileW);
        seen &= bits == 1 ? unpackRow<1>(out, q, tileW, palette)
            : bits == 2   ? unpackRow<2>(out, q, tileW, palette)
                          : unpackRow<4>(out, q, tileW, palette);
        done += tileW;
    }
    if (seen < 0xFF000000u) {
        // The rows are already in the image, with the zero entries' pixels transparent: they
        // stay, as the rows before them do, but opaque (black), as every pixel shown must be.
        for (int y = done / tileW - rows; y < done / tileW; ++y) {
            quint32 *out = px.at(area.x() + tileX, area.y() + tileY + y);
            for (int x = 0; x < tileW; ++x)
                out[x] |= 0xFF000000u;
        }
        return failed(r, tr("Индекс палитры ZRLE за пределами палитры"));
    }
    windowPos += qsizetype(rows) * rowBytes;
    r.pixels += qint64(rows) * tileW;
    if (done == tileW * tileH)
        nextTile();
    return Stop::Next;
}

// Runs of a CPIXEL and a length, into the tile buffer, as many as the window holds whole.
ZrleDecoder::Stop ZrleDecoder::plainRuns(const Pixels &px, Result &r)
{
    const int total = tileW * tileH;
    const uchar *p = window.get() + windowPos;
    const uchar *const end = window.get() + windowEnd;
    int at = done;
    while (at < total && end - p >= 4) {
        const uchar *next = nullptr;
        const int length = runLength(p + 3, end, total - at, next);
        if (length == 0)
            break;
        if (length < 0)
            return failed(r, tr("Серия пикселей ZRLE выходит за пределы плитки"));
        fillRun(tile.get() + at, length, cpixel(p));
        at += length;
        p = next;
    }
    return runsTaken(px, r, at, p);
}

// Palette indices, each a pixel or (top bit set) followed by a run length, into the tile buffer.
ZrleDecoder::Stop ZrleDecoder::paletteRuns(const Pixels &px, Result &r)
{
    const int total = tileW * tileH;
    const uchar *p = window.get() + windowPos;
    const uchar *const end = window.get() + windowEnd;
    int at = done;
    while (at < total && p < end) {
        const int index = p[0] & 127;
        if (index >= paletteSize)
            return failed(r, tr("Индекс палитры ZRLE за пределами палитры"));
        if (!(p[0] & 128)) {
            tile[at++] = palette[index];
            ++p;
            continue;
        }
        const uchar *next = nullptr;
        const int length = runLength(p + 1, end, total - at, next);
        if (length == 0)
            break;
        if (length < 0)
            return failed(r, tr("Серия пикселей ZRLE выходит за пределы плитки"));
        fillRun(tile.get() + at, length, palette[index]);
        at += length;
        p = next;
    }
    return runsTaken(px, r, at, p);
}

// The tile's pixels now reach `at` and its units in the window `p`: a complete tile goes into
// the image.
ZrleDecoder::Stop ZrleDecoder::runsTaken(const Pixels &px, Result &r, int at, const uchar *p)
{
    r.pixels += at - done;
    done = at;
    windowPos = p - window.get();
    if (done < tileW * tileH)
        return Stop::NeedInflated;
    storeTile(px);
    nextTile();
    return Stop::Next;
}

// A complete RLE tile from its buffer into the image.
void ZrleDecoder::storeTile(const Pixels &px)
{
    const quint32 *row = tile.get();
    for (int y = 0; y < tileH; ++y, row += tileW)
        std::memcpy(
            px.at(area.x() + tileX, area.y() + tileY + y), row, sizeof *row * size_t(tileW));
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

#pragma once

#include "rectangledecoder.h"

#include <QCoreApplication>

#include <memory>

struct z_stream_s;

// ZRLE (RFC 6143, 7.7.6) for the client's 32-bit depth-24 pixels: 3-byte CPIXELs (blue, green,
// red), 64 x 64 tiles, one zlib stream for the whole connection.
//
// The compressed bytes are taken as they arrive and inflated into a small window; tiles are
// decoded from it one unit at a time (a tile header, a palette, a packed row, a run, a few raw
// pixels), so a tile cut anywhere waits only for its next unit and nothing larger is held.
// Whatever a rectangle inflates to must fit its tiles: more ends the connection, so an inflate
// bomb costs no more than the rectangle's pixels.
class ZrleDecoder : public RectangleDecoder
{
    Q_DECLARE_TR_FUNCTIONS(ZrleDecoder)

public:
    ZrleDecoder();
    ~ZrleDecoder() override;
    ZrleDecoder(const ZrleDecoder &) = delete;
    ZrleDecoder &operator=(const ZrleDecoder &) = delete;

    void reset() override;
    void begin(const QRect &area) override;
    Result decode(QImage &image, QByteArrayView input) override;

    // The most compressed bytes a rectangle may announce, whatever its size.
    static constexpr quint32 lengthLimit = 64 * 1024 * 1024;

private:
    enum class Phase {
        Length,
        TileStart,
        Palette,
        RawPixels,
        PackedRows,
        PlainRuns,
        PaletteRuns,
        Trailing
    };
    // What a unit's decoding asks of the loop over units.
    enum class Stop { Next, NeedInflated, WorkDone, TilesDone, Failed };

    qint64 lengthBound() const;
    qint64 inflatedBound() const;
    bool startStream(Result &r);
    Stop decodeTiles(const Pixels &px, Result &r);
    Stop startTile(const Pixels &px, Result &r);
    Stop readPalette();
    Stop rawPixels(const Pixels &px, Result &r);
    Stop packedRows(const Pixels &px, Result &r);
    Stop plainRuns(const Pixels &px, Result &r);
    Stop paletteRuns(const Pixels &px, Result &r);
    Stop runsTaken(const Pixels &px, Result &r, int at, const uchar *p);
    void storeTile(const Pixels &px);
    qsizetype inflateStep(
        QByteArrayView input, Result &r, uchar *out, qsizetype room, qsizetype &used);
    bool inflateMore(QByteArrayView input, Result &r);
    void finish(QByteArrayView input, Result &r);
    void nextTile();
    Stop failed(Result &r, const QString &error);

    std::unique_ptr<z_stream_s> stream; // from the connection's first rectangle to reset()
    bool streamEnded = false;
    std::unique_ptr<uchar[]> window; // inflated bytes not yet decoded: [windowPos, windowEnd)
    qsizetype windowPos = 0;
    qsizetype windowEnd = 0;
    qint64 discarded = 0; // inflated bytes after the last tile, thrown away
    quint32 compressedLeft = 0; // of the current rectangle, not yet inflated
    // An RLE tile's pixels, row after row, until the tile is complete; allocated with the window.
    std::unique_ptr<quint32[]> tile;

    QRect area;
    Phase phase = Phase::Length;
    int tileX = 0; // the current tile, its offset inside area and its size
    int tileY = 0;
    int tileW = 0;
    int tileH = 0;
    int done = 0; // pixels of the tile written
    int subencoding = 0;
    int paletteSize = 0;
    // Entries past paletteSize hold 0, a colour no CPIXEL gives (decoded pixels are opaque), so a
    // packed row finds an index past the palette once per row instead of once per pixel.
    quint32 palette[128] = {};
};

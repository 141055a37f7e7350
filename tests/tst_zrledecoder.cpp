#include "rfbtestserver.h"
#include "zrledecoder.h"

#include <QtTest>

#include <zlib.h>

using namespace rfbwire;

// ZRLE tiles written by hand, each a form the demo panels' encoder never writes, decoded straight
// through the decoder: given all at once and a byte at a time, so every unit is also cut at every
// byte. Pixels are compared as stored words, alpha included, with a border around the area that
// must stay untouched.
class TestZrleDecoder : public QObject
{
    Q_OBJECT

    static constexpr quint32 untouched = 0x00ABCDEF; // no decoded pixel has alpha 0

    // A CPIXEL: blue, green, red.
    static QByteArray cpixel(quint32 rgb)
    {
        const char bytes[3] = { char(rgb), char(rgb >> 8), char(rgb >> 16) };
        return QByteArray(bytes, 3);
    }

    // `count` pixels of rgb as the decoder stores them.
    static QList<quint32> run(quint32 rgb, int count)
    {
        return QList<quint32>(count, 0xFF000000u | rgb);
    }

    // The rectangle's bytes after its header: the length, then the tiles through zlib stream z
    // flushed but not ended, as servers send them.
    static QByteArray zrle(z_stream &z, const QByteArray &tiles)
    {
        QByteArray out(qsizetype(deflateBound(&z, uLong(tiles.size())) + 64), Qt::Uninitialized);
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(tiles.constData()));
        z.avail_in = uInt(tiles.size());
        z.next_out = reinterpret_cast<Bytef *>(out.data());
        z.avail_out = uInt(out.size());
        deflate(&z, Z_SYNC_FLUSH);
        out.resize(out.size() - qsizetype(z.avail_out));
        return u32(quint32(out.size())) + out;
    }
    // The same, a connection's first rectangle.
    static QByteArray zrle(const QByteArray &tiles)
    {
        z_stream z {};
        deflateInit(&z, Z_DEFAULT_COMPRESSION);
        const QByteArray bytes = zrle(z, tiles);
        deflateEnd(&z);
        return bytes;
    }

    // Decodes into image over area, giving the decoder `step` more bytes whenever it waits (all
    // of them at once when 0). The error, "stalled", "bytes left" or empty when it is done.
    static QString decode(QImage &image, const QRect &area, const QByteArray &bytes, int step)
    {
        ZrleDecoder decoder;
        decoder.begin(area);
        qsizetype pos = 0;
        qsizetype fed = step ? std::min<qsizetype>(step, bytes.size()) : bytes.size();
        for (;;) {
            const RectangleDecoder::Result r
                = decoder.decode(image, QByteArrayView(bytes).sliced(pos, fed - pos));
            pos += r.consumed;
            if (r.status == RectangleDecoder::Result::Failed)
                return r.error;
            if (r.status == RectangleDecoder::Result::Done)
                return pos == bytes.size() ? QString() : QStringLiteral("bytes left");
            if (r.consumed > 0 || r.pixels > 0)
                continue;
            if (fed == bytes.size())
                return QStringLiteral("stalled");
            fed = std::min<qsizetype>(fed + step, bytes.size());
        }
    }

private slots:
    void handWrittenTiles_data()
    {
        QTest::addColumn<QSize>("size"); // one tile
        QTest::addColumn<QByteArray>("tile");
        QTest::addColumn<QList<quint32>>("expected"); // row after row
        const quint32 a = 0x102030, b = 0xF0E0D0, c = 0x00FF7F;
        const QByteArray pa = cpixel(a), pb = cpixel(b), pc = cpixel(c);

        QTest::newRow("plain RLE runs of 256, 300 and 84: two length bytes, one ending in 0")
            << QSize(64, 10) << u8(128) + pa + u8(255) + u8(0) + pb + u8(255) + u8(44) + pc + u8(83)
            << run(a, 256) + run(b, 300) + run(c, 84);
        QTest::newRow("palette RLE run of 511 (three length bytes), single pixels, short runs")
            << QSize(48, 12)
            << u8(128 + 3) + pa + pb + pc + u8(0x80) + u8(255) + u8(255) + u8(0) + u8(1) + u8(2)
                + u8(0x81) + u8(1) + u8(0x82) + u8(2) + u8(0x80) + u8(4) + u8(0x81) + u8(52)
            << run(a, 511) + run(b, 1) + run(c, 1) + run(b, 2) + run(c, 3) + run(a, 5) + run(b, 53);
        QList<quint32> raw;
        QByteArray rawTile = u8(0);
        for (quint32 i = 0; i < 14; ++i) {
            rawTile += cpixel(0x0A0B0C * (i + 1));
            raw += 0xFF000000u | ((0x0A0B0C * (i + 1)) & 0xFFFFFF);
        }
        QTest::newRow("raw, rows of 7 (four, then three one at a time)")
            << QSize(7, 2) << rawTile << raw;
        QTest::newRow("packed, 1 bit, rows of 9, padding bits set")
            << QSize(9, 2) << u8(2) + pa + pb + u8(0xB1) + u8(0xFF) + u8(0x4E) + u8(0x00)
            << run(b, 1) + run(a, 1) + run(b, 2) + run(a, 3) + run(b, 2) + run(a, 1) + run(b, 1)
                + run(a, 2) + run(b, 3) + run(a, 2);
        QTest::newRow("packed, 2 bits, palette of 3, index 3 in a row's padding")
            << QSize(5, 1) << u8(3) + pa + pb + pc + u8(0x19) + u8(0x3F)
            << run(a, 1) + run(b, 1) + run(c, 1) + run(b, 1) + run(a, 1);
        QByteArray sixteen;
        for (quint32 i = 0; i < 16; ++i)
            sixteen += cpixel(0x111111 * i);
        QTest::newRow("packed, 4 bits, palette of 16, a row of 3")
            << QSize(3, 1) << u8(16) + sixteen + u8(0xF0) + u8(0x5A)
            << run(0xFFFFFF, 1) + run(0x000000, 1) + run(0x555555, 1);
    }

    void handWrittenTiles()
    {
        QFETCH(QSize, size);
        QFETCH(QByteArray, tile);
        QFETCH(QList<quint32>, expected);
        QCOMPARE(expected.size(), size.width() * size.height());
        const QRect area(QPoint(3, 2), size);
        QImage want(area.width() + 6, area.height() + 4, QImage::Format_RGB32);
        want.fill(untouched);
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                reinterpret_cast<quint32 *>(want.scanLine(area.y() + y))[area.x() + x]
                    = expected[y * size.width() + x];
        for (const int step : { 0, 1 }) {
            QImage image(want.size(), QImage::Format_RGB32);
            image.fill(untouched);
            QCOMPARE(decode(image, area, zrle(tile), step), QString());
            for (int y = 0; y < image.height(); ++y)
                QVERIFY2(std::memcmp(image.constScanLine(y), want.constScanLine(y),
                             size_t(image.width()) * 4)
                        == 0,
                    qPrintable(QStringLiteral("row %1, %2")
                                   .arg(y)
                                   .arg(step ? "byte by byte" : "at once")));
        }
    }

    // A server that flushes more after each rectangle's tiles: every tail may be as long as its
    // own rectangle's bound (386 bytes for one pixel); tails are not added up over the stream.
    void tailsAreBoundedPerRectangle()
    {
        ZrleDecoder decoder;
        z_stream z {};
        deflateInit(&z, Z_DEFAULT_COMPRESSION);
        QImage image(4, 1, QImage::Format_RGB32);
        image.fill(untouched);
        for (int i = 0; i < 4; ++i) {
            const QByteArray bytes = zrle(z, u8(1) + cpixel(0x405060) + QByteArray(386, 1));
            decoder.begin(QRect(i, 0, 1, 1));
            const RectangleDecoder::Result r = decoder.decode(image, bytes);
            QCOMPARE(r.error, QString());
            QCOMPARE(r.status, RectangleDecoder::Result::Done);
            QCOMPARE(r.consumed, bytes.size());
        }
        deflateEnd(&z);
        for (int x = 0; x < 4; ++x)
            QCOMPARE(reinterpret_cast<const quint32 *>(image.constScanLine(0))[x], 0xFF405060u);
    }
};

QTEST_GUILESS_MAIN(TestZrleDecoder)
#include "tst_zrledecoder.moc"

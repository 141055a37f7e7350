#pragma once

#include <QByteArrayView>
#include <QImage>
#include <QRect>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <cstring>

// One encoding's rectangles, decoded into the client's RGB32 framebuffer as their bytes arrive.
//
// Contract:
//  - reset() starts a new connection: state kept across rectangles (a zlib stream) is dropped.
//  - begin(area) starts a rectangle; area lies inside the image the following decode() calls get.
//  - decode() takes what it can use from the front of `input` (the rectangle's bytes and possibly
//    what follows them) and writes the pixels it has decoded. It never keeps a pointer into
//    `input` or into the image between calls, and does at most about stepWork pixels of work
//    per call, so the caller's time slices still bound a long rectangle.
//  - After Failed the connection must end with `error`; after Done the next begin() may follow.
class RectangleDecoder
{
public:
    struct Result
    {
        enum Status { More, Done, Failed };
        Status status = More;
        qsizetype consumed = 0; // bytes taken from the front of input
        // More: the bytes the next call needs at least before it can go on (0 when it could go
        // on at once: the call stopped for its work bound).
        qsizetype needed = 0;
        qint64 pixels = 0; // pixels written by this call
        QString error;
    };

    // Pixels one decode() call may write; about what the Raw path moves in one step.
    static constexpr qint64 stepWork = 512 * 1024;

    virtual ~RectangleDecoder() = default;
    virtual void reset() = 0;
    virtual void begin(const QRect &area) = 0;
    virtual Result decode(QImage &image, QByteArrayView input) = 0;

protected:
    // Rows of the image as 32-bit pixels: taken anew for every call, since a copy of the image
    // made between calls (a snapshot) detaches it.
    struct Pixels
    {
        quint32 *bits;
        qsizetype stride; // in pixels

        explicit Pixels(QImage &image)
            : bits(reinterpret_cast<quint32 *>(image.bits()))
            , stride(image.bytesPerLine() / 4)
        {
        }
        quint32 *at(int x, int y) const { return bits + y * stride + x; }
        // A pixel of our wire format from its first three bytes (blue, green, red): a Hextile
        // pixel and a ZRLE compressed pixel alike.
        static quint32 fromWire(const uchar *p)
        {
            return 0xFF000000u | quint32(p[2]) << 16 | quint32(p[1]) << 8 | p[0];
        }
        void fill(int x, int y, int w, int h, quint32 colour) const
        {
            for (int r = 0; r < h; ++r)
                fillRow(at(x, y + r), w, colour);
        }
        // Two pixels a store: runs are tens of pixels, and at -O2 GCC leaves std::fill_n one
        // store a pixel, the larger part of a whole-screen ZRLE update's cost.
        static void fillRow(quint32 *out, int n, quint32 colour)
        {
            const quint64 two = quint64(colour) << 32 | colour;
            int i = 0;
            for (; i + 2 <= n; i += 2)
                std::memcpy(out + i, &two, sizeof two);
            if (i < n)
                out[i] = colour;
        }
    };
};

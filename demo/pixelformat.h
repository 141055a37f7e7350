#pragma once

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QString>

// A client's RFB pixel format (the 16 bytes of SetPixelFormat) and the conversion of framebuffer
// pixels into it. Only true colour of 8, 16 or 32 bits per pixel is served.
struct PixelFormat
{
    quint8 bitsPerPixel = 32;
    quint8 depth = 24;
    bool bigEndian = false;
    bool trueColour = true;
    quint16 redMax = 255, greenMax = 255, blueMax = 255;
    quint8 redShift = 16, greenShift = 8, blueShift = 0;

    // The 16 wire bytes; fromWire() reads the same layout.
    QByteArray toWire() const;
    static PixelFormat fromWire(const char *bytes);

    // Empty when the format can be served, otherwise why not (shown to the operator running the
    // panels; RFB has no way to tell the client after the handshake).
    QString refusal() const;

    // The pixels of area (inside image, RGB32) row by row in this format.
    QByteArray encode(const QImage &image, const QRect &area) const;
};

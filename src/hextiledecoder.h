#pragma once

#include "rectangledecoder.h"

#include <QCoreApplication>

// Hextile (RFC 6143, 7.7.4) for the client's 32-bit pixels: 16 x 16 tiles, each taken from the
// input only once it is wholly there (at most 1,540 bytes), so nothing is kept between calls but
// the tile position and the background and foreground colours the rectangle carries over.
class HextileDecoder : public RectangleDecoder
{
    Q_DECLARE_TR_FUNCTIONS(HextileDecoder)

public:
    void reset() override;
    void begin(const QRect &area) override;
    Result decode(QImage &image, QByteArrayView input) override;

private:
    QRect area;
    int tileX = 0; // the current tile's offset inside area
    int tileY = 0;
    quint32 background = 0xFF000000u;
    quint32 foreground = 0xFF000000u;
};

#pragma once

#include "pixelformat.h"

#include <QByteArray>
#include <QImage>
#include <QRect>

// Hextile (RFC 6143 §7.7.4): encode() returns what follows the rectangle header, the rectangle's
// 16 × 16 tiles each in the smallest of its forms (raw, one colour, or a background with
// subrectangles of one or of several colours).
class HextileEncoder
{
public:
    static QByteArray encode(const QImage &image, const QRect &area, const PixelFormat &format);
};

#pragma once

#include "pixelformat.h"

#include <QByteArray>
#include <QImage>
#include <QRect>

#include <memory>

struct z_stream_s;

// ZRLE (RFC 6143 §7.7.6) for one connection: the zlib stream runs for the object's life, so
// one encoder serves one client, and every rectangle it encodes must reach that client in order.
// encode() returns what follows the rectangle header: the u32 length and the zlib bytes, flushed
// so the client can decode the rectangle without waiting for the next one.
class ZrleEncoder
{
public:
    ZrleEncoder();
    ~ZrleEncoder();
    ZrleEncoder(const ZrleEncoder &) = delete;
    ZrleEncoder &operator=(const ZrleEncoder &) = delete;

    QByteArray encode(const QImage &image, const QRect &area, const PixelFormat &format);

private:
    std::unique_ptr<z_stream_s> stream;
};

// Writes the Windows icon of the program from the logo: the emblem centred on
// transparent squares of the sizes Explorer and the taskbar ask for, each kept
// as a PNG inside the .ico (read by every Windows since Vista).
//
// Usage: pelorin_makeicon assets/logo.png assets/pelorin.ico

#include <QBuffer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QtEndian>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <logo.png> <output.ico>\n", argv[0]);
        return 2;
    }
    const QImage logo(QString::fromLocal8Bit(argv[1]));
    if (logo.isNull()) {
        std::fprintf(stderr, "could not read %s\n", argv[1]);
        return 1;
    }

    const int sizes[] = { 16, 24, 32, 48, 64, 128, 256 };
    QList<QByteArray> images;
    for (int size : sizes) {
        QImage square(size, size, QImage::Format_ARGB32);
        square.fill(Qt::transparent);
        const QImage scaled
            = logo.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QPainter(&square).drawImage(
            (size - scaled.width()) / 2, (size - scaled.height()) / 2, scaled);
        QBuffer png;
        png.open(QIODevice::WriteOnly);
        square.save(&png, "PNG");
        images.append(png.data());
    }

    // ICONDIR, then one ICONDIRENTRY per image, then the images; all little-endian.
    QByteArray ico;
    auto u16 = [&ico](quint16 v) {
        ico.append(reinterpret_cast<const char *>(&(v = qToLittleEndian(v))), 2);
    };
    auto u32 = [&ico](quint32 v) {
        ico.append(reinterpret_cast<const char *>(&(v = qToLittleEndian(v))), 4);
    };
    u16(0);
    u16(1);
    u16(quint16(images.size()));
    quint32 offset = 6 + 16 * quint32(images.size());
    for (qsizetype i = 0; i < images.size(); ++i) {
        const int size = sizes[i];
        ico.append(char(size == 256 ? 0 : size)); // 0 means 256
        ico.append(char(size == 256 ? 0 : size));
        ico.append(char(0)); // no palette
        ico.append(char(0));
        u16(1); // colour planes
        u16(32); // bits per pixel
        u32(quint32(images.at(i).size()));
        u32(offset);
        offset += quint32(images.at(i).size());
    }
    for (const QByteArray &image : std::as_const(images))
        ico.append(image);

    QFile out(QString::fromLocal8Bit(argv[2]));
    if (!out.open(QIODevice::WriteOnly) || out.write(ico) != ico.size()) {
        std::fprintf(stderr, "could not write %s\n", argv[2]);
        return 1;
    }
    return 0;
}

// Packs square PNG renders of the emblem into the Windows icon of the program,
// each kept as PNG inside the .ico (read by every Windows since Vista). The
// renders come from pelorin_drawlogo <png> <size>, so small sizes stay sharp.
//
// Usage: pelorin_makeicon <output.ico> <square png>...

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QtEndian>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <output.ico> <square png>...\n", argv[0]);
        return 2;
    }

    QList<QByteArray> images;
    QList<int> sides;
    for (int i = 2; i < argc; ++i) {
        QFile file(QString::fromLocal8Bit(argv[i]));
        const QImage image(file.fileName());
        if (!file.open(QIODevice::ReadOnly) || image.isNull() || image.width() != image.height()
            || image.width() > 256) {
            std::fprintf(stderr, "%s: not a square PNG of at most 256 pixels\n", argv[i]);
            return 1;
        }
        images.append(file.readAll());
        sides.append(image.width());
    }

    // ICONDIR, then one ICONDIRENTRY per image, then the images; all little-endian.
    QByteArray ico;
    auto u16 = [&ico](quint16 v) {
        const quint16 le = qToLittleEndian(v);
        ico.append(reinterpret_cast<const char *>(&le), 2);
    };
    auto u32 = [&ico](quint32 v) {
        const quint32 le = qToLittleEndian(v);
        ico.append(reinterpret_cast<const char *>(&le), 4);
    };
    u16(0); // reserved
    u16(1); // icon
    u16(quint16(images.size()));
    quint32 offset = 6 + 16 * quint32(images.size());
    for (qsizetype i = 0; i < images.size(); ++i) {
        const char side = char(sides.at(i) == 256 ? 0 : sides.at(i)); // 0 means 256
        ico.append(side);
        ico.append(side);
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

    QFile out(QString::fromLocal8Bit(argv[1]));
    if (!out.open(QIODevice::WriteOnly) || out.write(ico) != ico.size()) {
        std::fprintf(stderr, "could not write %s\n", argv[1]);
        return 1;
    }
    return 0;
}

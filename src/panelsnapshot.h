#pragma once

#include <QCoreApplication>
#include <QDateTime>
#include <QFont>
#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>
#include <QVector>

class QWidget;

// A panel's screen saved as a PNG: the framebuffer at the panel's own
// resolution, marked with a faint tiled logo and a time stamp so a saved
// picture is recognisable as a snapshot and dated. Stateless; the geometry
// helpers are the ones render() uses.
class PanelSnapshot
{
    Q_DECLARE_TR_FUNCTIONS(PanelSnapshot)

public:
    // A marked copy of frame; a null frame gives a null image.
    static QImage render(const QImage &frame, const QDateTime &at);

    // "Pelorin_yyyyMMdd_HHmmss.png" in the user's pictures folder.
    static QString proposedPath(const QDateTime &at);

    // The whole save flow over parent: asks for the path, writes the PNG and
    // shows the failure notice itself. True only when a file was written;
    // a null frame or a cancelled dialog give false without any message.
    static bool save(QWidget *parent, const QImage &frame);

    // Writes image as a PNG. An existing file at path is replaced only by a
    // complete picture, never left truncated.
    static bool writePng(const QImage &image, const QString &path);

    // Geometry of the marking for a frame of the given size.
    static int tileSize(int width, int height);
    static int tileStart(int tile);
    static QVector<int> tilePositions(int extent, int tile);
    static QSize logoSize(int tile);
    static int stampPixelSize(int height);
    static int stampPadding(int height);
    static QFont stampFont(int height);
    static QString stampText(const QDateTime &at);
    // The stamp box for a text of textSize; it ends one padding from the
    // right and bottom edges.
    static QRect stampBox(const QSize &frame, const QSize &textSize);
};

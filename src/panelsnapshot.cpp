#include "panelsnapshot.h"

#include "chromedialog.h"

#include <QColor>
#include <QDir>
#include <QFontMetrics>
#include <QImageWriter>
#include <QPainter>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

namespace {

QImage logoImage()
{
    return QImage(QStringLiteral(":/assets/logo.png"));
}

} // namespace

int PanelSnapshot::tileSize(int width, int height)
{
    return std::max(96, (std::min(width, height) * 3) / 4);
}

int PanelSnapshot::tileStart(int tile)
{
    return -(tile / 4);
}

QVector<int> PanelSnapshot::tilePositions(int extent, int tile)
{
    QVector<int> positions;
    if (tile <= 0)
        return positions;
    for (int at = tileStart(tile); at < extent; at += tile)
        positions.append(at);
    return positions;
}

QSize PanelSnapshot::logoSize(int tile)
{
    const QImage logo = logoImage();
    if (logo.isNull())
        return QSize();
    return logo.size().scaled(tile, tile, Qt::KeepAspectRatio);
}

int PanelSnapshot::stampPixelSize(int height)
{
    return std::clamp(height / 40, 12, 48);
}

int PanelSnapshot::stampPadding(int height)
{
    return std::max(6, height / 100);
}

QFont PanelSnapshot::stampFont(int height)
{
    QFont font;
    font.setPixelSize(stampPixelSize(height));
    return font;
}

QString PanelSnapshot::stampText(const QDateTime &at)
{
    return at.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
}

QRect PanelSnapshot::stampBox(const QSize &frame, const QSize &textSize)
{
    const int p = stampPadding(frame.height());
    return QRect(frame.width() - 3 * p - textSize.width(),
        frame.height() - 3 * p - textSize.height(), textSize.width() + 2 * p,
        textSize.height() + 2 * p);
}

QImage PanelSnapshot::render(const QImage &frame, const QDateTime &at)
{
    QImage image = frame.copy();
    if (image.isNull())
        return image;

    const int width = image.width();
    const int height = image.height();

    QPainter painter(&image);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);

    const QImage logo = logoImage();
    const int tile = tileSize(width, height);
    if (!logo.isNull()) {
        const QSize size = logo.size().scaled(tile, tile, Qt::KeepAspectRatio);
        const QVector<int> columns = tilePositions(width, tile);
        const QVector<int> rows = tilePositions(height, tile);
        painter.setOpacity(0.15);
        for (int y : rows) {
            for (int x : columns)
                painter.drawImage(QRect(QPoint(x, y), size), logo);
        }
        painter.setOpacity(1.0);
    }

    painter.setFont(stampFont(height));
    const QString text = stampText(at);
    const QSize textSize = painter.fontMetrics().boundingRect(text).size();
    const QRect box = stampBox(image.size(), textSize);
    painter.fillRect(box, QColor(10, 16, 24, 190));
    painter.setPen(Qt::white);
    painter.drawText(box, Qt::AlignCenter, text);
    painter.end();
    return image;
}

QString PanelSnapshot::proposedPath(const QDateTime &at)
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    // An undeterminable pictures folder would otherwise propose the root.
    if (folder.isEmpty())
        folder = QDir::homePath();
    return folder + QStringLiteral("/Pelorin_") + at.toString(QStringLiteral("yyyyMMdd_HHmmss"))
        + QStringLiteral(".png");
}

bool PanelSnapshot::writePng(const QImage &image, const QString &path)
{
    // Written aside and renamed on success, so a failed write never destroys
    // a file the user chose to replace.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QImageWriter writer(&file, "png");
    if (!writer.write(image)) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool PanelSnapshot::save(QWidget *parent, const QImage &frame)
{
    if (frame.isNull())
        return false;
    // One instant for the stamp and the proposed name.
    const QDateTime at = QDateTime::currentDateTime();
    const QImage image = render(frame, at);
    const QString path
        = chooseFile(parent, tr("Снимок панели"), proposedPath(at), tr("PNG (*.png)"), true);
    if (path.isEmpty())
        return false;
    if (!writePng(image, path)) {
        notify(parent, tr("Снимок"), tr("Не удалось сохранить файл."));
        return false;
    }
    return true;
}

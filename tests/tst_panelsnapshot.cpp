// Snapshot marking geometry, the rendered picture, the PNG write and the save flow, on its own
// and from a session's tools menu.
#include "panelsnapshot.h"
#include "rfbtestserver.h"
#include "session.h"
#include "underwine.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <functional>

namespace {

const QRgb background = qRgb(200, 180, 160);

int channelDistance(QRgb a, QRgb b)
{
    return std::max({ std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
        std::abs(qBlue(a) - qBlue(b)) });
}

QImage solidFrame(const QSize &size)
{
    QImage frame(size, QImage::Format_RGB32);
    frame.fill(background);
    return frame;
}

QRect expectedStampBox(const QSize &frame, const QDateTime &at)
{
    const QFontMetrics metrics(PanelSnapshot::stampFont(frame.height()));
    return PanelSnapshot::stampBox(
        frame, metrics.boundingRect(PanelSnapshot::stampText(at)).size());
}

} // namespace

class TestPanelSnapshot : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir root;
    QString pictures;

    // Calls handle with every modal widget that comes up while the code under
    // test runs its own event loop; handle closes it.
    void onEachModal(const std::function<void(QWidget *)> &handle)
    {
        auto *poll = new QTimer(this);
        poll->setInterval(10);
        QPointer<QWidget> handled;
        connect(poll, &QTimer::timeout, this, [poll, handle, handled]() mutable {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal || modal == handled)
                return;
            handled = modal;
            handle(modal);
        });
        connect(this, &TestPanelSnapshot::stopPolling, poll, &QObject::deleteLater);
        poll->start();
    }

    static QPushButton *buttonWithText(QWidget *parent, const QString &text)
    {
        const auto buttons = parent->findChildren<QPushButton *>();
        for (QPushButton *button : buttons) {
            if (button->text() == text)
                return button;
        }
        return nullptr;
    }

    QStringList picturesFiles() const
    {
        return QDir(pictures).entryList(QDir::Files | QDir::Hidden);
    }

signals:
    void stopPolling();

private slots:
    void initTestCase()
    {
        QVERIFY(root.isValid());
#ifdef Q_OS_WIN
        // Windows keeps the pictures folder in the user's profile: only the throw-away wine
        // prefix of the test command may be written to.
        if (!runningUnderWine())
            QSKIP("Writes to the user's pictures folder; runs only in the test command's wine "
                  "prefix.");
        pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
        QVERIFY(QDir().mkpath(pictures));
        for (const QString &file : picturesFiles())
            QVERIFY(QFile::remove(pictures + QLatin1Char('/') + file));
#else
        // The pictures folder comes from the user-dirs file of the (private)
        // configuration folder.
        const QString config = root.filePath(QStringLiteral("config"));
        pictures = root.filePath(QStringLiteral("pictures"));
        QVERIFY(QDir().mkpath(config));
        QVERIFY(QDir().mkpath(pictures));
        QFile dirs(config + QStringLiteral("/user-dirs.dirs"));
        QVERIFY(dirs.open(QIODevice::WriteOnly));
        dirs.write("XDG_PICTURES_DIR=\"" + pictures.toUtf8() + "\"\n");
        dirs.close();
        qputenv("XDG_CONFIG_HOME", config.toUtf8());
        QCOMPARE(QStandardPaths::writableLocation(QStandardPaths::PicturesLocation), pictures);
#endif
    }

    void geometry_data()
    {
        QTest::addColumn<QSize>("frame");
        QTest::addColumn<int>("tile");
        QTest::addColumn<int>("start");
        QTest::addColumn<QVector<int>>("columns");
        QTest::addColumn<QVector<int>>("rows");
        QTest::addColumn<int>("fontPixels");
        QTest::addColumn<int>("padding");

        QTest::newRow("800x480") << QSize(800, 480) << 360 << -90 << QVector<int> { -90, 270, 630 }
                                 << QVector<int> { -90, 270 } << 12 << 6;
        QTest::newRow("100x100, minimum tile")
            << QSize(100, 100) << 96 << -24 << QVector<int> { -24, 72 } << QVector<int> { -24, 72 }
            << 12 << 6;
        QTest::newRow("1920x2400, maximum font")
            << QSize(1920, 2400) << 1440 << -360 << QVector<int> { -360, 1080 }
            << QVector<int> { -360, 1080 } << 48 << 24;
        QTest::newRow("1280x800") << QSize(1280, 800) << 600 << -150
                                  << QVector<int> { -150, 450, 1050 } << QVector<int> { -150, 450 }
                                  << 20 << 8;
        // 127 * 3 / 4 = 95 is below the minimum; 130 * 3 / 4 = 97 is odd, so
        // the quarter truncates.
        QTest::newRow("127 high") << QSize(1000, 127) << 96 << -24
                                  << QVector<int> { -24, 72, 168, 264, 360, 456, 552, 648, 744, 840,
                                         936 }
                                  << QVector<int> { -24, 72 } << 12 << 6;
        QTest::newRow("130 high") << QSize(300, 130) << 97 << -24
                                  << QVector<int> { -24, 73, 170, 267 } << QVector<int> { -24, 73 }
                                  << 12 << 6;
        QTest::newRow("1x1") << QSize(1, 1) << 96 << -24 << QVector<int> { -24 }
                             << QVector<int> { -24 } << 12 << 6;
        QTest::newRow("1999 high, 49 clamped")
            << QSize(4000, 1999) << 1499 << -374 << QVector<int> { -374, 1125, 2624 }
            << QVector<int> { -374, 1125 } << 48 << 19;
    }

    void geometry()
    {
        QFETCH(QSize, frame);
        QFETCH(int, tile);
        QFETCH(int, start);
        QFETCH(QVector<int>, columns);
        QFETCH(QVector<int>, rows);
        QFETCH(int, fontPixels);
        QFETCH(int, padding);

        const int t = PanelSnapshot::tileSize(frame.width(), frame.height());
        QCOMPARE(t, tile);
        QCOMPARE(PanelSnapshot::tileStart(t), start);
        QCOMPARE(PanelSnapshot::tilePositions(frame.width(), t), columns);
        QCOMPARE(PanelSnapshot::tilePositions(frame.height(), t), rows);
        QCOMPARE(PanelSnapshot::stampPixelSize(frame.height()), fontPixels);
        QCOMPARE(PanelSnapshot::stampFont(frame.height()).pixelSize(), fontPixels);
        QCOMPARE(PanelSnapshot::stampPadding(frame.height()), padding);

        // The logo keeps its aspect ratio and fills the tile in one direction.
        const QSize logo = PanelSnapshot::logoSize(t);
        QVERIFY(!logo.isEmpty());
        QVERIFY(logo.width() <= t && logo.height() <= t);
        QVERIFY(logo.width() == t || logo.height() == t);

        // The stamp box ends one padding from the right and bottom edges.
        const QSize text(150, fontPixels + 3);
        const QRect box = PanelSnapshot::stampBox(frame, text);
        QCOMPARE(box.size(), text + QSize(2 * padding, 2 * padding));
        QCOMPARE(box.x() + box.width(), frame.width() - padding);
        QCOMPARE(box.y() + box.height(), frame.height() - padding);
    }

    void stampText_data()
    {
        QTest::addColumn<QDateTime>("at");
        QTest::addColumn<QString>("stamp");
        QTest::addColumn<QString>("file");
        QTest::newRow("afternoon")
            << QDateTime(QDate(2026, 3, 5), QTime(14, 7, 9)) << "05.03.2026 14:07:09"
            << "Pelorin_20260305_140709.png";
        QTest::newRow("midnight") << QDateTime(QDate(2027, 1, 1), QTime(0, 0, 0))
                                  << "01.01.2027 00:00:00"
                                  << "Pelorin_20270101_000000.png";
        QTest::newRow("end of year")
            << QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59)) << "31.12.2026 23:59:59"
            << "Pelorin_20261231_235959.png";
    }

    void stampText()
    {
        QFETCH(QDateTime, at);
        QFETCH(QString, stamp);
        QFETCH(QString, file);
        QCOMPARE(PanelSnapshot::stampText(at), stamp);
        QCOMPARE(PanelSnapshot::proposedPath(at), pictures + QLatin1Char('/') + file);
    }

    void render_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("800x480") << QSize(800, 480);
        QTest::newRow("100x100") << QSize(100, 100);
        QTest::newRow("1920x2400") << QSize(1920, 2400);
        QTest::newRow("1280x800") << QSize(1280, 800);
    }

    void render()
    {
        QFETCH(QSize, size);
        const QImage frame = solidFrame(size);
        const QDateTime at(QDate(2026, 3, 5), QTime(14, 7, 9));
        const QImage shot = PanelSnapshot::render(frame, at);

        QCOMPARE(shot.size(), size);
        QVERIFY(frame.pixel(0, 0) == background && frame.pixel(size.width() - 1, 0) == background);

        const QRect box = expectedStampBox(size, at);
        const int padding = PanelSnapshot::stampPadding(size.height());
        QVERIFY(box.right() < size.width() && box.bottom() < size.height());

        // The box is the dark translucent fill over the (faintly marked) frame:
        // about a quarter of the background shows through.
        const QRgb dark = qRgb((qRed(background) * 65 + 10 * 190) / 255,
            (qGreen(background) * 65 + 16 * 190) / 255, (qBlue(background) * 65 + 24 * 190) / 255);
        // On a tiny frame the stamp is wider than the picture and is cut off
        // at the left edge.
        const QRect visible = box.intersected(shot.rect());
        QCOMPARE(visible.bottomRight(), box.bottomRight());
        for (const QPoint corner :
            { visible.topLeft(), visible.topRight(), visible.bottomLeft(), visible.bottomRight() })
            QVERIFY2(channelDistance(shot.pixel(corner), dark) <= 12,
                qPrintable(QStringLiteral("corner %1,%2").arg(corner.x()).arg(corner.y())));
        // Outside the box, right and below, only the faint watermark.
        QVERIFY(channelDistance(shot.pixel(box.right() + 1, box.bottom()), background) <= 40);
        QVERIFY(channelDistance(shot.pixel(box.right(), box.bottom() + 1), background) <= 40);
        if (box.left() > 0)
            QVERIFY(channelDistance(shot.pixel(box.left() - 1, box.top()), background) <= 40);
        QCOMPARE(size.width() - 1 - box.right(), padding);

        // The white stamp text is drawn inside the box.
        int bright = 0;
        for (int y = visible.top(); y <= visible.bottom(); ++y) {
            for (int x = visible.left(); x <= visible.right(); ++x) {
                const QRgb c = shot.pixel(x, y);
                if (qRed(c) > 200 && qGreen(c) > 200 && qBlue(c) > 200)
                    ++bright;
            }
        }
        QVERIFY2(bright > 10, qPrintable(QString::number(bright)));

        // Everywhere else the watermark is faint, yet present.
        qint64 changed = 0;
        for (int y = 0; y < size.height(); ++y) {
            for (int x = 0; x < size.width(); ++x) {
                if (box.contains(x, y))
                    continue;
                const int d = channelDistance(shot.pixel(x, y), background);
                if (d > 40)
                    QFAIL(qPrintable(
                        QStringLiteral("pixel %1,%2 differs by %3").arg(x).arg(y).arg(d)));
                if (d > 0)
                    ++changed;
            }
        }
        const qint64 area = qint64(size.width()) * size.height();
        QVERIFY2(
            changed * 20 > area, qPrintable(QStringLiteral("%1 of %2").arg(changed).arg(area)));
    }

    // Tiles repeat with the tile size as step in both directions, and the
    // first one sits at the start offset.
    void renderTilesRepeat()
    {
        const QSize size(800, 480);
        const QDateTime at(QDate(2026, 3, 5), QTime(14, 7, 9));
        const QImage shot = PanelSnapshot::render(solidFrame(size), at);
        const QRect box = expectedStampBox(size, at);
        const int t = 360;

        for (int y = 0; y < size.height(); y += 3) {
            for (int x = 0; x + t < size.width(); x += 3) {
                if (box.contains(x + t, y))
                    continue;
                QVERIFY2(channelDistance(shot.pixel(x, y), shot.pixel(x + t, y)) <= 1,
                    qPrintable(QStringLiteral("column step at %1,%2").arg(x).arg(y)));
            }
        }
        for (int y = 0; y + t < size.height(); y += 3) {
            for (int x = 0; x < size.width(); x += 3) {
                if (box.contains(x, y + t))
                    continue;
                QVERIFY2(channelDistance(shot.pixel(x, y), shot.pixel(x, y + t)) <= 1,
                    qPrintable(QStringLiteral("row step at %1,%2").arg(x).arg(y)));
            }
        }

        // The visible part of the first tile equals the logo drawn at (-90, -90).
        QImage reference = solidFrame(size);
        {
            QPainter painter(&reference);
            painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
            painter.setOpacity(0.15);
            painter.drawImage(QRect(QPoint(-90, -90), PanelSnapshot::logoSize(t)),
                QImage(QStringLiteral(":/assets/logo.png")));
        }
        for (int y = 0; y < 270; ++y) {
            for (int x = 0; x < 270; ++x)
                QVERIFY(channelDistance(shot.pixel(x, y), reference.pixel(x, y)) <= 1);
        }
    }

    void renderNullFrame()
    {
        QVERIFY(PanelSnapshot::render(QImage(), QDateTime::currentDateTime()).isNull());
    }

    void writePng_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("existing");
        QTest::addColumn<bool>("nullImage");
        QTest::addColumn<bool>("written");
        QTest::newRow("new file") << "new.png" << false << false << true;
        QTest::newRow("replaces an existing file") << "old.png" << true << false << true;
        QTest::newRow("failed write keeps the existing file")
            << "kept.png" << true << true << false;
        QTest::newRow("missing folder") << "missing/dir/shot.png" << false << false << false;
    }

    void writePng()
    {
        QFETCH(QString, name);
        QFETCH(bool, existing);
        QFETCH(bool, nullImage);
        QFETCH(bool, written);

        const QString path = root.filePath(name);
        const QByteArray before("previous contents");
        if (existing) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(before);
        }
        QImage frame(64, 40, QImage::Format_RGB32);
        for (int y = 0; y < frame.height(); ++y)
            for (int x = 0; x < frame.width(); ++x)
                frame.setPixel(x, y, qRgb(x * 4, y * 6, (x + y) & 0xff));
        const QImage image
            = nullImage ? QImage() : PanelSnapshot::render(frame, QDateTime::currentDateTime());

        QCOMPARE(PanelSnapshot::writePng(image, path), written);
        if (written) {
            QImage back(path, "PNG");
            QCOMPARE(back.size(), image.size());
            QCOMPARE(back.convertToFormat(QImage::Format_RGB32), image);
        } else if (existing) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), before);
        } else {
            QVERIFY(!QFile::exists(path));
        }
        // No temporary file is left behind next to the target.
        const QStringList left = QFileInfo(path).dir().entryList(QDir::Files | QDir::Hidden);
        for (const QString &entry : left)
            QVERIFY2(entry.endsWith(QLatin1String(".png")), qPrintable(entry));
    }

    void saveFlow_data();
    void saveFlow();
    void saveNullFrame();
    void fromSession_data();
    void fromSession();
};

// The save flow end to end: the file dialog as the user sees it, the written
// file and the notice.
void TestPanelSnapshot::saveFlow_data()
{
    QTest::addColumn<QString>("typed"); // "" keeps the proposal, "<cancel>" cancels
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("written"); // "" none, "<proposed>" the proposed name
    QTest::addColumn<bool>("notice");

    QTest::newRow("cancel") << "<cancel>" << false << "" << false;
    QTest::newRow("proposed name") << "" << true << "<proposed>" << false;
    QTest::newRow("name without suffix") << "shift-report" << true << "shift-report.png" << false;
    QTest::newRow("missing folder") << "<missing>" << false << "" << true;
}

void TestPanelSnapshot::saveFlow()
{
    QFETCH(QString, typed);
    QFETCH(bool, result);
    QFETCH(QString, written);
    QFETCH(bool, notice);

    for (const QString &file : picturesFiles())
        QVERIFY(QFile::remove(pictures + QLatin1Char('/') + file));
    const QString missing = root.filePath(QStringLiteral("no/such/folder/shot.png"));

    QImage frame(320, 200, QImage::Format_RGB32);
    frame.fill(qRgb(30, 90, 160));
    QWidget session;

    QString proposed;
    QStringList unexpected;
    bool dialogChecked = false;
    bool noticeSeen = false;
    onEachModal([&](QWidget *modal) {
        if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
            auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            proposed = edit ? edit->text() : QString();
            dialogChecked = dialog->windowTitle() == QStringLiteral("Снимок панели")
                && dialog->acceptMode() == QFileDialog::AcceptSave
                && dialog->nameFilters() == QStringList { QStringLiteral("PNG (*.png)") }
                && QDir(dialog->directory()) == QDir(pictures) && dialog->parent() == &session;
            if (typed == QLatin1String("<cancel>")) {
                dialog->reject();
                return;
            }
            if (!typed.isEmpty() && edit)
                edit->setText(typed == QLatin1String("<missing>") ? missing : typed);
            if (QPushButton *save = buttonWithText(dialog, QStringLiteral("Сохранить")))
                save->click();
            else
                QMetaObject::invokeMethod(dialog, "accept");
            return;
        }
        if (modal->windowTitle() == QStringLiteral("Снимок")) {
            const auto labels = modal->findChildren<QLabel *>();
            for (QLabel *label : labels)
                noticeSeen
                    = noticeSeen || label->text() == QStringLiteral("Не удалось сохранить файл.");
            if (QPushButton *ok = buttonWithText(modal, QStringLiteral("Понятно")))
                ok->click();
            return;
        }
        unexpected << modal->windowTitle();
        modal->close();
    });

    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    const bool saved = PanelSnapshot::save(&session, frame);
    const QDateTime after = QDateTime::currentDateTime();
    emit stopPolling();

    QCOMPARE(saved, result);
    QVERIFY(dialogChecked);
    QCOMPARE(unexpected, QStringList());
    QCOMPARE(noticeSeen, notice);

    // The proposal is the time of the save, to the second.
    static const QRegularExpression name(QStringLiteral("^Pelorin_(\\d{8}_\\d{6})\\.png$"));
    const QRegularExpressionMatch match = name.match(proposed);
    QVERIFY2(match.hasMatch(), qPrintable(proposed));
    const QDateTime stamp
        = QDateTime::fromString(match.captured(1), QStringLiteral("yyyyMMdd_HHmmss"));
    QVERIFY(stamp >= before.addMSecs(-before.time().msec()) && stamp <= after);

    if (written.isEmpty()) {
        QCOMPARE(picturesFiles(), QStringList());
        QVERIFY(!QFile::exists(missing));
        return;
    }
    const QString file = written == QLatin1String("<proposed>") ? proposed : written;
    QCOMPARE(picturesFiles(), QStringList { file });
    const QImage back(pictures + QLatin1Char('/') + file, "PNG");
    QCOMPARE(back.size(), frame.size());
    // The picture is the marked frame, not something else of that size.
    QVERIFY(channelDistance(back.pixel(160, 20), qRgb(30, 90, 160)) <= 40);
}

void TestPanelSnapshot::saveNullFrame()
{
    QWidget session;
    QStringList modals;
    onEachModal([&modals](QWidget *modal) {
        modals << modal->windowTitle();
        modal->close();
    });
    QVERIFY(!PanelSnapshot::save(&session, QImage()));
    QTest::qWait(30);
    emit stopPolling();
    QCOMPARE(modals, QStringList());
    QCOMPARE(picturesFiles(), QStringList());
}

void TestPanelSnapshot::fromSession_data()
{
    QTest::addColumn<bool>("endFirst");
    QTest::addColumn<QString>("answer"); // "cancel", "save" or "fail"

    QTest::newRow("cancel") << false << "cancel";
    QTest::newRow("save") << false << "save";
    QTest::newRow("write fails") << false << "fail";
    QTest::newRow("after the connection ended") << true << "save";
    QTest::newRow("cancel after the connection ended") << true << "cancel";
}

// The session's "Сохранить снимок…" journals only a written file, and still saves the last
// picture once the panel has gone.
void TestPanelSnapshot::fromSession()
{
    QFETCH(bool, endFirst);
    QFETCH(QString, answer);

    for (const QString &file : picturesFiles())
        QVERIFY(QFile::remove(pictures + QLatin1Char('/') + file));

    RfbTestServer server;
    QVERIFY(server.listen());
    PanelProfile profile;
    profile.id = PanelProfile::newId();
    profile.name = QStringLiteral("Котельная 2");
    profile.host = QStringLiteral("127.0.0.1");
    profile.port = server.port();
    profile.password = QStringLiteral("unused"); // security None; avoids the prompt
    Session session(profile);
    QSignalSpy journal(&session, &Session::journal);

    QAction *snapshot = nullptr;
    const auto actions = session.findChildren<QAction *>();
    for (QAction *action : actions) {
        if (action->text() == QStringLiteral("Сохранить снимок…"))
            snapshot = action;
    }
    QVERIFY(snapshot);
    QVERIFY(!snapshot->isEnabled());

    session.startConnection();
    QTRY_VERIFY(server.handshakeDone());
    const QRgb panelColour = qRgb(0x33, 0x66, 0xCC);
    server.send(rfbwire::update(1) + rfbwire::solidRaw(0, 0, 800, 480, panelColour));
    QTRY_VERIFY(channelDistance(session.renderSnapshot(QDateTime::currentDateTime()).pixel(400, 20),
                    panelColour)
        <= 40);
    QVERIFY(snapshot->isEnabled());
    if (endFirst) {
        const int before = journal.count();
        server.shutdown();
        QTRY_VERIFY(journal.count() > before);
        QVERIFY(snapshot->isEnabled());
    }
    journal.clear();

    QString chosen;
    bool noticeSeen = false;
    onEachModal([&](QWidget *modal) {
        if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
            auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            chosen = edit ? edit->text() : QString();
            if (answer == QLatin1String("cancel")) {
                dialog->reject();
                return;
            }
            if (answer == QLatin1String("fail") && edit)
                edit->setText(root.filePath(QStringLiteral("gone/away/shot.png")));
            QMetaObject::invokeMethod(dialog, "accept");
            return;
        }
        noticeSeen = noticeSeen || modal->windowTitle() == QStringLiteral("Снимок");
        modal->close();
    });
    snapshot->trigger();
    emit stopPolling();

    QVERIFY(chosen.startsWith(QLatin1String("Pelorin_")));
    QCOMPARE(noticeSeen, answer == QLatin1String("fail"));
    if (answer != QLatin1String("save")) {
        QCOMPARE(journal.count(), 0);
        QCOMPARE(picturesFiles(), QStringList());
        return;
    }
    QCOMPARE(journal.count(), 1);
    QCOMPARE(journal.at(0).at(0).toString(), QStringLiteral("Снимок сохранён"));
    QCOMPARE(picturesFiles(), QStringList { chosen });
    const QImage back(pictures + QLatin1Char('/') + chosen, "PNG");
    QCOMPARE(back.size(), QSize(800, 480));
    QVERIFY(channelDistance(back.pixel(400, 20), panelColour) <= 40);
}

QTEST_MAIN(TestPanelSnapshot)
#include "tst_panelsnapshot.moc"

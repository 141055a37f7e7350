// Start-up as a process: the screenshot option, one copy per settings location and the
// compiled-in resources.
#include "singleinstance.h"
#include "underwine.h"

#include <QDataStream>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QResource>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

class TestStartup : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    // Runs the program with these arguments and the given settings folder, on an offscreen
    // screen of the given size and dots per inch ("1600x1000 96"; "": Qt's own, 800 x 800).
    QProcess *start(const QStringList &args, const QString &screen = QStringLiteral("1600x1000 96"),
        const QString &settings = QStringLiteral("config"))
    {
        const QStringList size = screen.split(QRegularExpression(QStringLiteral("[x ]")));
        QFile config(dir.filePath(QStringLiteral("screen.json")));
        if (size.size() == 3) {
            if (!config.open(QIODevice::WriteOnly))
                return nullptr;
            config.write(QStringLiteral(R"({"screens": [{"name": "s", "width": %1, "height": %2, "logicalDpi": %3}]})")
                             .arg(size[0], size[1], size[2])
                             .toUtf8());
            config.close();
        }
        auto *process = new QProcess(this);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(settings));
        // Relative: the platform argument is split at colons, drive letters included.
        env.insert(QStringLiteral("QT_QPA_PLATFORM"),
                   QStringLiteral("offscreen") + (screen.isEmpty() ? "" : ":configfile=screen.json"));
        process->setProcessEnvironment(env);
        process->setWorkingDirectory(dir.path());
        process->start(QStringLiteral(PELORIN_EXE), args);
        return process;
    }

    // Stores a 1200 x 790 window's geometry in this state ("normal" or "full screen") as
    // QWidget::saveGeometry writes it (format 3.0); "": none.
    void storeGeometry(const QString &state)
    {
        QSettings settings(dir.filePath("config/Pelorin/PelorinVNC.conf"), QSettings::IniFormat);
        const QRect r(40, 30, 1200, 790);
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_4_0);
        out << quint32(0x1D9D0CB) << quint16(3) << quint16(0) << r << r << qint32(0) << quint8(0)
            << quint8(state == "full screen") << qint32(1600) << r;
        if (state.isEmpty())
            settings.remove("windowGeometry");
        else
            settings.setValue("windowGeometry", bytes);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        // On Windows the program keeps its settings in the user's registry, which no
        // environment variable moves; only the throw-away wine prefix may be written to.
#ifdef Q_OS_WIN
        if (!runningUnderWine())
            QSKIP("Starts the program on the user's own settings; runs only in the test "
                  "command's wine prefix.");
#endif
    }

    void captureWritesWindowImage_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("screen");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QString>("stored"); // the state of a stored 1200 x 790 window; "": none
        const QSize designed(1400, 900);
        QTest::newRow("plain") << QStringList{"--screenshot", "out.png"} << "out.png"
                               << "1600x1000 96" << designed << "";
        QTest::newRow("first option counts")
            << QStringList{"--screenshot", "first.png", "--screenshot", "second.png"} << "first.png"
            << "1600x1000 96" << designed << "";
        QTest::newRow("path that looks like an option")
            << QStringList{"--screenshot", "--odd.png"} << "--odd.png" << "1600x1000 96" << designed
            << "";
        QTest::newRow("after other arguments")
            << QStringList{"--SCREENSHOT", "x", "--screenshot", "late.png"} << "late.png"
            << "1600x1000 96" << designed << "";
        // The window's own size, whatever the screen.
        QTest::newRow("1366 x 768 screen")
            << QStringList{"--screenshot", "small.png"} << "small.png" << "1366x768 96" << designed
            << "";
        QTest::newRow("Qt's own 800 x 800 screen")
            << QStringList{"--screenshot", "own.png"} << "own.png" << "" << designed << "";
        QTest::newRow("150 %: device pixels")
            << QStringList{"--screenshot", "scaled.png"} << "scaled.png" << "1920x1080 144"
            << QSize(2100, 1350) << "";
#ifndef Q_OS_WIN // the settings live in the registry there
        // As in a normal run the stored state comes back (the top bar then offers to leave full
        // screen), and the picture is still of the window's own, stored size.
        QTest::newRow("stored full screen") << QStringList{"--screenshot", "full.png"} << "full.png"
                                            << "1600x1000 96" << QSize(1200, 790) << "full screen";
#endif
    }

    void captureWritesWindowImage()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, file);
        QFETCH(QString, screen);
        QFETCH(QSize, size);
        QFETCH(QString, stored);
        const QString path = dir.filePath(file);
        QFile::remove(path);
        // The capture writes no settings, not even over a damaged address book.
        QSettings(dir.filePath("config/Pelorin/PelorinVNC.conf"), QSettings::IniFormat)
            .setValue("profiles", QByteArray(R"([{"id":"a","port":1}])"));
        storeGeometry(stored);
        const auto settings = [this] {
            QMap<QString, QByteArray> files;
            QDirIterator it(dir.filePath("config"), QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                QFile file(it.next());
                files.insert(file.fileName(), file.open(QIODevice::ReadOnly) ? file.readAll() : "?");
            }
            return files;
        };
        const QMap<QString, QByteArray> before = settings();

        QProcess *process = start(args, screen);
        QVERIFY(process);
        QVERIFY(process->waitForFinished(60000));
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process->exitCode(), 0);

        QImage shot(path);
        QVERIFY2(!shot.isNull(), qPrintable(path));
        QCOMPARE(shot.size(), size);
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("second.png"))));
        QCOMPARE(settings(), before);
        if (stored == QStringLiteral("full screen")) {
            // The window stored in its normal state differs in the top bar's text, and not below
            // the status line (which the capture may show or not yet).
            storeGeometry(QStringLiteral("normal"));
            QProcess *normal = start({ QStringLiteral("--screenshot"), QStringLiteral("n.png") });
            QVERIFY(normal && normal->waitForFinished(60000) && normal->exitCode() == 0);
            const QImage other(dir.filePath(QStringLiteral("n.png")));
            QVERIFY(other.copy(0, 0, 1200, 100) != shot.copy(0, 0, 1200, 100));
            QCOMPARE(other.copy(0, 130, 1200, 660), shot.copy(0, 130, 1200, 660));
        }
    }

    void unwritableCaptureFails()
    {
        const QString path = dir.filePath(QStringLiteral("missing/folder/out.png"));
        QProcess *process = start({QStringLiteral("--screenshot"), path});
        QVERIFY(process);
        QVERIFY(process->waitForFinished(60000));
        QCOMPARE(process->exitCode(), 1);
        const QString err = QString::fromLocal8Bit(process->readAllStandardError());
        QVERIFY2(err.contains(path), qPrintable(err));
        QVERIFY(!QFile::exists(path));
    }

    void unrecognisedOptionRunsNormally_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("last argument") << QStringList{"--screenshot"};
        QTest::newRow("upper case") << QStringList{"--SCREENSHOT", "normal.png"};
        QTest::newRow("with equals sign") << QStringList{"--screenshot=normal.png"};
    }

    void unrecognisedOptionRunsNormally()
    {
        QFETCH(QStringList, args);
        const QString path = dir.filePath(QStringLiteral("normal.png"));
        QFile::remove(path);

        QProcess *process = start(args);
        QVERIFY(process);
        // Generous: a loaded machine under wine takes seconds to start a process.
        QVERIFY(process->waitForStarted(60000));
        // A capture would have ended the process after half a second.
        QVERIFY(!process->waitForFinished(1500));
        QCOMPARE(process->state(), QProcess::Running);
        process->kill();
        process->waitForFinished(60000);
        QVERIFY(!QFile::exists(path));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("--screenshot=normal.png"))));
    }

    // A start on the same settings hands over and ends with 0; a capture, other settings run.
    void oneCopyPerSettings()
    {
#ifdef Q_OS_WIN
        const QStringList configs{"config"}; // the registry: one location per user
        const QString lockAt = QStandardPaths::writableLocation(
            QStandardPaths::GenericDataLocation) + "/Pelorin/PelorinVNC/PelorinVNC.lock";
#else
        const QStringList configs{"config", "other-config"};
        const QString lockAt = dir.filePath("%1/Pelorin/PelorinVNC.lock");
#endif
        QList<QProcess *> running;
        for (const QString &config : configs) {
            const QString lock = QString(lockAt).replace("%1", config);
            QFile::remove(lock); // left by a copy an earlier case killed
            running << start({}, QStringLiteral("1600x1000 96"), config);
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(lock), 60000);
        }
        const QString shot = dir.filePath(QStringLiteral("beside.png"));
        for (const QStringList &args : {QStringList(), QStringList{"--screenshot", shot}}) {
            QProcess *process = start(args);
            QVERIFY(process->waitForFinished(60000));
            QCOMPARE(process->exitCode(), 0);
        }
        for (QProcess *process : std::as_const(running)) {
            QCOMPARE(process->state(), QProcess::Running);
            process->kill();
        }
    }

    // A start on settings whose copy is frozen gives up with 1 and its reason, and never
    // runs beside it.
    void frozenCopyIsNotJoined()
    {
#ifdef Q_OS_UNIX
        const QString settings = QStringLiteral("frozen-config");
        const QString lock = dir.filePath(settings + "/Pelorin/PelorinVNC.lock");
        QFile::remove(lock);
        QProcess *holder = start({}, QStringLiteral("1600x1000 96"), settings);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(lock), 60000);
        QCOMPARE(::kill(pid_t(holder->processId()), SIGSTOP), 0);
        QProcess *second = start({}, QStringLiteral("1600x1000 96"), settings);
        // It waits out the copy's whole time to answer: nothing outside the process shortens it.
        const bool ended = second->waitForFinished(SingleInstance::answerWaitMs + 30000);
        holder->kill();
        holder->waitForFinished(5000);
        QVERIFY2(ended, "the second start ran on the frozen copy's settings");
        QCOMPARE(second->exitCode(), 1);
        QVERIFY(second->readAllStandardError().contains("does not answer"));
#else
        QSKIP("Freezes the running copy with SIGSTOP.");
#endif
    }

    void resourcesAreCompiledIn()
    {
        QResource theme(QStringLiteral(":/theme.qss"));
        QVERIFY(theme.isValid());
        QCOMPARE(theme.compressionAlgorithm(), QResource::ZlibCompression);
        QFile sheet(QStringLiteral(":/theme.qss"));
        QVERIFY(sheet.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(sheet.readAll());
        for (const char *selector : {"#sidebar", "#topbar", "#windowBar", "#windowClose", "#session",
                                     "#sessionStatus", "#primary", "#emptyTile", "#remoteScroll",
                                     "#viewOnly", "#error", "[online=\"true\"]", "[selected=\"true\"]"})
            QVERIFY2(text.contains(QLatin1String(selector)), selector);

        const QImage logo(QStringLiteral(":/assets/logo.png"));
        QCOMPARE(logo.size(), QSize(118, 122));
        QVERIFY(logo.hasAlphaChannel());
        QCOMPARE(qAlpha(logo.pixel(0, 0)), 0);

        QFile notice(QStringLiteral(":/THIRD_PARTY.md"));
        QVERIFY(notice.open(QIODevice::ReadOnly));
        const QString md = QString::fromUtf8(notice.readAll());
        QVERIFY(md.startsWith(QStringLiteral("# Сторонний код")));
        QVERIFY(md.contains(QStringLiteral("## D3DES")));
        QVERIFY(md.contains(QStringLiteral("## Qt")));

        for (const char *name : {":/licenses/LGPL-3.0.txt", ":/licenses/GPL-3.0.txt"}) {
            QFile licence{QString::fromLatin1(name)};
            QVERIFY(licence.open(QIODevice::ReadOnly));
            QVERIFY(licence.readAll().contains("Version 3, 29 June 2007"));
        }
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"

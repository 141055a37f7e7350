// The remote view: where the picture goes, what it paints, and the exact input bytes a panel
// receives, first from a scripted server behind an in-memory device, then from a real Xvnc.
#include "remoteview.h"
#include "rfbclient.h"
#include "rfbtestserver.h"
#include "xvncserver.h"

#include <QAction>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QtEndian>
#include <QtTest>

namespace {

const QColor background(0x0c, 0x11, 0x19);

// A view bound to a client that a scripted 3.8 panel has brought up to the running state.
struct Bench
{
    PipeTransport transport;
    RfbClient client{nullptr, &transport};
    QWidget window;
    RemoteView *view = new RemoteView(&client, &window);
    QLineEdit *elsewhere = new QLineEdit(&window);

    explicit Bench(QSize frame)
    {
        if (!frame.isEmpty()) {
            client.connectToPanel(QStringLiteral("panel"), 5900, QString());
            transport.feed(rfbwire::handshake38None(quint16(frame.width()),
                                                    quint16(frame.height())));
            transport.takeWritten();
        }
    }
    void place(QSize viewSize, double zoom)
    {
        view->setZoom(zoom);
        view->resize(viewSize);
        window.resize(viewSize.width(), viewSize.height() + 30);
        elsewhere->setGeometry(0, viewSize.height(), 100, 30);
    }
};

// Client messages as text, strictly: any byte out of place shows up as hex.
QStringList decode(const QByteArray &bytes)
{
    QStringList out;
    int i = 0;
    while (i < bytes.size()) {
        const auto *p = reinterpret_cast<const uchar *>(bytes.constData() + i);
        const int left = int(bytes.size()) - i;
        if (p[0] == 4 && left >= 8 && p[1] <= 1 && p[2] == 0 && p[3] == 0) {
            out << QStringLiteral("K %1 %2")
                       .arg(qFromBigEndian<quint32>(p + 4), 0, 16)
                       .arg(p[1] ? QLatin1String("d") : QLatin1String("u"));
            i += 8;
        } else if (p[0] == 5 && left >= 6) {
            out << QStringLiteral("P %1 %2 %3")
                       .arg(qFromBigEndian<quint16>(p + 2))
                       .arg(qFromBigEndian<quint16>(p + 4))
                       .arg(p[1]);
            i += 6;
        } else {
            out << QString::fromLatin1(bytes.mid(i).toHex(' '));
            break;
        }
    }
    return out;
}

// The bytes RFC 6143 prescribes for "K ffe3 d" / "P 400 240 1".
QByteArray encode(const QStringList &messages)
{
    QByteArray out;
    for (const QString &m : messages) {
        const QStringList f = m.split(u' ');
        if (f[0] == u'K')
            out += rfbwire::keyEvent(f[1].toUInt(nullptr, 16), f[2] == u'd');
        else
            out += rfbwire::pointerEvent(quint16(f[1].toInt()), quint16(f[2].toInt()),
                                         quint8(f[3].toInt()));
    }
    return out;
}

QStringList messages(const QString &script)
{
    QStringList out;
    for (const QString &m : script.split(u';', Qt::SkipEmptyParts))
        out << m.trimmed();
    return out;
}

int keyNamed(const QString &name)
{
    static const QHash<QString, int> keys = {
        {"A", Qt::Key_A},         {"B", Qt::Key_B},         {"C", Qt::Key_C},
        {"1", Qt::Key_1},         {"Shift", Qt::Key_Shift}, {"Ctrl", Qt::Key_Control},
        {"Tab", Qt::Key_Tab},     {"Ef", 0x0424},           {"Unknown", Qt::Key_unknown},
        {"2", Qt::Key_2},         {"@", Qt::Key_At},
    };
    return keys.value(name, 0);
}

// The physical key behind a name, as X11 numbers them: "2" and "@" share one.
quint32 scanCodeNamed(const QString &name)
{
    static const QHash<QString, quint32> codes = {
        {"A", 38},     {"B", 56},    {"C", 54},   {"1", 10},   {"2", 11},
        {"@", 11},     {"Shift", 50}, {"Ctrl", 37}, {"Tab", 23}, {"Ef", 38},
    };
    return codes.value(name, 0);
}

QPointF pointIn(const QString &text)
{
    const QStringList xy = text.split(u',');
    return QPointF(xy[0].toDouble(), xy[1].toDouble());
}

Qt::MouseButton buttonNamed(const QString &name)
{
    return name == u'L' ? Qt::LeftButton : name == u'M' ? Qt::MiddleButton : Qt::RightButton;
}

// Colours within a few steps of each other (smoothing, blending).
bool near(QRgb a, QColor b, int tolerance = 3)
{
    return qAbs(qRed(a) - b.red()) <= tolerance && qAbs(qGreen(a) - b.green()) <= tolerance
           && qAbs(qBlue(a) - b.blue()) <= tolerance;
}

// Bounding box of the pixels within tolerance of a colour (a negative tolerance: the pixels
// further than that from it): where text was drawn.
QRect inkOf(const QImage &image, QColor ink, int tolerance)
{
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (near(image.pixel(x, y), ink, qAbs(tolerance)) == (tolerance >= 0))
                box |= QRect(x, y, 1, 1);
    return box;
}

QColor over(QColor under)
{
    const double a = 190.0 / 255.0;
    return QColor(qRound(12 * a + under.red() * (1 - a)), qRound(17 * a + under.green() * (1 - a)),
                  qRound(25 * a + under.blue() * (1 - a)));
}

// An X client in the background, gone with the test however it ends.
struct XClient
{
    QProcess process;
    ~XClient()
    {
        process.kill();
        process.waitForFinished(3000);
    }
};

} // namespace

class TestRemoteView : public QObject
{
    Q_OBJECT

private slots:
    void geometry_data();
    void geometry();
    void fixedZoomFollowsNewScreenSize();
    void repaintsWhatChanged();
    void partialRepaintHasNoSeams_data();
    void partialRepaintHasNoSeams();
    void keysym_data();
    void keysym();
    void input_data();
    void input();
    void shortcutOverride_data();
    void shortcutOverride();
    void painting_data();
    void painting();
    void placeholderBeforeServerInit();
    void realPeer();
};

void TestRemoteView::geometry_data()
{
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<double>("zoom");
    QTest::addColumn<QSize>("widget");
    QTest::addColumn<QRect>("image");
    QTest::addColumn<QSize>("hint");
    QTest::addColumn<QSize>("minimum");

    const QSize none;
    const QSize hint(800, 480);
    const QSize one(1, 1);
    QTest::newRow("fit wide into square") << QSize(800, 480) << 0.0 << QSize(1000, 1000)
                                          << QRect(0, 200, 1000, 600) << hint << one;
    QTest::newRow("fit reduces, margin truncated") << QSize(1024, 768) << 0.0 << QSize(500, 500)
                                                   << QRect(0, 62, 500, 375) << hint << one;
    QTest::newRow("fit enlarges a small screen") << QSize(400, 300) << 0.0 << QSize(1000, 500)
                                                 << QRect(167, 0, 666, 500) << hint << one;
    QTest::newRow("negative zoom fits") << QSize(800, 480) << -1.0 << QSize(400, 400)
                                        << QRect(0, 80, 400, 240) << hint << one;
    QTest::newRow("125% centred") << QSize(800, 600) << 1.25 << QSize(1200, 900)
                                  << QRect(100, 75, 1000, 750) << QSize(1000, 750)
                                  << QSize(1000, 750);
    QTest::newRow("150% halves round up") << QSize(801, 601) << 1.5 << QSize(1300, 1000)
                                          << QRect(49, 49, 1202, 902) << QSize(1202, 902)
                                          << QSize(1202, 902);
    QTest::newRow("50% halves round up") << QSize(3, 3) << 0.5 << QSize(10, 10)
                                         << QRect(4, 4, 2, 2) << QSize(2, 2) << QSize(2, 2);
    QTest::newRow("widget smaller than minimum grows")
        << QSize(800, 480) << 2.0 << QSize(100, 100) << QRect(0, 0, 1600, 960) << QSize(1600, 960)
        << QSize(1600, 960);
    QTest::newRow("no framebuffer, fit")
        << none << 0.0 << QSize(300, 300) << QRect() << hint << one;
    QTest::newRow("no framebuffer, 200%") << none << 2.0 << QSize(900, 500) << QRect() << hint
                                          << hint;
}

void TestRemoteView::geometry()
{
    QFETCH(QSize, frame);
    QFETCH(double, zoom);
    QFETCH(QSize, widget);

    Bench bench(frame);
    QCOMPARE(bench.client.isLive(), !frame.isEmpty());
    bench.place(widget, zoom);
    QTEST(bench.view->imageRect(), "image");
    QTEST(bench.view->sizeHint(), "hint");
    QTEST(bench.view->minimumSize(), "minimum");
}

void TestRemoteView::fixedZoomFollowsNewScreenSize()
{
    Bench bench(QSize(800, 600));
    bench.place(QSize(1000, 750), 1.25);
    QCOMPARE(bench.view->minimumSize(), QSize(1000, 750));

    // DesktopSize: the panel now shows 400 x 300.
    QSignalSpy frames(&bench.client, &RfbClient::frameChanged);
    bench.transport.feed(rfbwire::update(1) + rfbwire::desktopSize(400, 300));
    QTRY_COMPARE(frames.count(), 1);
    QCOMPARE(bench.view->minimumSize(), QSize(500, 375));
    QCOMPARE(bench.view->sizeHint(), QSize(500, 375));

    bench.view->setZoom(0);
    QCOMPARE(bench.view->minimumSize(), QSize(1, 1));
}

// Counts the paint events that cover the whole widget, and collects what the others covered.
class PaintCounter : public QObject
{
public:
    int full = 0;
    int partial = 0;
    QRegion painted;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *widget = static_cast<QWidget *>(watched);
        if (event->type() != QEvent::Paint)
            return false;
        const QRegion region = static_cast<QPaintEvent *>(event)->region();
        if (region.boundingRect() == widget->rect()) {
            ++full;
        } else {
            ++partial;
            painted += region;
        }
        return false;
    }
};

void TestRemoteView::repaintsWhatChanged()
{
    Bench bench(QSize(800, 480));
    bench.place(QSize(400, 400), 0);
    bench.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bench.window));
    PaintCounter counter;
    bench.view->installEventFilter(&counter);
    for (int frame = 1; frame <= 2; ++frame) {
        // A one-pixel change repaints its neighbourhood only.
        bench.transport.feed(rfbwire::update(1) + rfbwire::solidRaw(5, 5, 1, 1, 0x00FF00));
        QTRY_COMPARE(counter.partial, frame);
    }
    QCOMPARE(counter.full, 0);
    // Forty single pixels at the four corners, in one update and then in 40 updates of one
    // pass: four small repaints, never their bounding box, which is the whole screen.
    QByteArray corners, separate;
    for (int i = 0; i < 10; ++i) {
        for (const QPoint &p : {QPoint(i, 0), QPoint(799 - i, 0), QPoint(i, 479), QPoint(799 - i, 479)}) {
            const QByteArray pixel = rfbwire::solidRaw(quint16(p.x()), quint16(p.y()), 1, 1, 0xFF0000);
            corners += pixel;
            separate += rfbwire::update(1) + pixel;
        }
    }
    for (const QByteArray &script : {rfbwire::update(40) + corners, separate}) {
        const int before = counter.partial;
        counter.painted = QRegion();
        bench.transport.feed(script);
        QTRY_VERIFY(counter.partial > before);
        QCoreApplication::processEvents();
        QCOMPARE(counter.full, 0);
        qint64 area = 0;
        for (const QRect &r : counter.painted)
            area += qint64(r.width()) * r.height();
        QVERIFY2(area < bench.view->width() * bench.view->height() / 20,
                 qPrintable(QString::number(area)));
    }
    // A new attempt drops the picture; the stale one must not stay on screen until ServerInit.
    bench.client.connectToPanel(QStringLiteral("panel"), 5900, QString());
    QVERIFY(bench.client.framebuffer().isNull());
    QTRY_COMPARE_WITH_TIMEOUT(counter.full, 1, 10000);
}

void TestRemoteView::partialRepaintHasNoSeams_data()
{
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<double>("zoom");
    QTest::addColumn<QSize>("widget");
    QTest::addColumn<QList<QRect>>("changes");

    QTest::newRow("fit, reduced by 0.646")
        << QSize(800, 480) << 0.0 << QSize(517, 311) << QList<QRect> { QRect(100, 100, 37, 23) };
    QTest::newRow("fit, enlarged 3.1 times")
        << QSize(320, 200) << 0.0 << QSize(1000, 700) << QList<QRect> { QRect(10, 10, 5, 5) };
    QTest::newRow("125%, two rectangles") << QSize(400,
        300) << 1.25 << QSize(520, 400) << QList<QRect> { QRect(50, 60, 7, 9), QRect(0, 0, 1, 1) };
    QTest::newRow("200%, far corner")
        << QSize(200, 150) << 2.0 << QSize(400, 300) << QList<QRect> { QRect(197, 147, 3, 3) };
    QTest::newRow("1:1, one pixel")
        << QSize(300, 200) << 1.0 << QSize(320, 220) << QList<QRect> { QRect(150, 100, 1, 1) };
}

// Repainting only what an update changed must give the very pixels a full repaint gives, also
// where smoothing blends changed and unchanged pixels at the edge of the repainted part.
void TestRemoteView::partialRepaintHasNoSeams()
{
    auto close = [](QRgb a, QRgb b) {
        return std::abs(qRed(a) - qRed(b)) <= 3 && std::abs(qGreen(a) - qGreen(b)) <= 3
            && std::abs(qBlue(a) - qBlue(b)) <= 3;
    };
    QFETCH(QSize, frame);
    QFETCH(double, zoom);
    QFETCH(QSize, widget);
    QFETCH(QList<QRect>, changes);

    // Neighbouring pixels differ strongly, so any blend that misses a repaint shows.
    auto checker = [](QRect r, bool inverted) {
        QByteArray bytes = rfbwire::rectHeader(
            quint16(r.x()), quint16(r.y()), quint16(r.width()), quint16(r.height()), 0);
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x) {
                const char v = ((x + y) % 2 != 0) != inverted ? char(0xF0) : char(0x10);
                bytes += QByteArray(1, v) + QByteArray(1, char(x)) + QByteArray(1, char(y)) + '\0';
            }
        return bytes;
    };
    Bench bench(frame);
    bench.place(widget, zoom);
    bench.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bench.window));
    QSignalSpy frames(&bench.client, &RfbClient::frameChanged);
    PaintCounter counter;
    bench.view->installEventFilter(&counter);
    bench.transport.feed(rfbwire::update(1) + checker(QRect(QPoint(), frame), false));
    QTRY_COMPARE(frames.count(), 1);
    QTRY_VERIFY(counter.full + counter.partial > 0); // the first picture is on screen
    QImage composed = bench.view->grab().toImage();
    counter.full = counter.partial = 0;
    counter.painted = QRegion();

    QByteArray update = rfbwire::update(quint16(changes.size()));
    for (const QRect &r : changes)
        update += checker(r, true);
    bench.transport.feed(update);
    QTRY_COMPARE(frames.count(), 2);
    QTRY_VERIFY(counter.partial > 0);
    QCOMPARE(counter.full, 0);
    QRegion changed;
    for (const QRect &r : changes)
        changed += r;
    QCOMPARE(bench.client.changedRegion(), changed);

    // The old picture with the repainted part painted over it, against a whole new picture.
    // Qt's smoothing steps along a span in fixed point, so a span starting at the region's edge
    // may round a channel a unit or two apart; a pixel left out differs by far more here.
    // render() puts the top left corner of the region at the offset given.
    bench.view->render(&composed, counter.painted.boundingRect().topLeft(), counter.painted);
    const QImage whole = bench.view->grab().toImage();
    QCOMPARE(composed.size(), whole.size());
    for (int y = 0; y < whole.height(); ++y)
        for (int x = 0; x < whole.width(); ++x)
            if (!close(composed.pixel(x, y), whole.pixel(x, y)))
                QFAIL(qPrintable(QStringLiteral("seam at %1,%2: %3 instead of %4")
                                     .arg(x)
                                     .arg(y)
                                     .arg(composed.pixel(x, y), 8, 16)
                                     .arg(whole.pixel(x, y), 8, 16)));
}

void TestRemoteView::keysym_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<quint32>("keysym");

    const int none = Qt::NoModifier;
    const int shift = Qt::ShiftModifier;
    const int ctrl = Qt::ControlModifier;
    QTest::newRow("Escape") << int(Qt::Key_Escape) << "\x1b" << none << 0xFF1Bu;
    QTest::newRow("Backtab") << int(Qt::Key_Backtab) << "" << shift << 0xFE20u;
    QTest::newRow("Return over its text") << int(Qt::Key_Return) << "\r" << none << 0xFF0Du;
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << "\r" << none << 0xFF8Du;
    QTest::newRow("Delete over its text") << int(Qt::Key_Delete) << "\x7f" << none << 0xFFFFu;
    QTest::newRow("Page Down") << int(Qt::Key_PageDown) << "" << none << 0xFF56u;
    QTest::newRow("Meta") << int(Qt::Key_Meta) << "" << none << 0xFFEBu;
    QTest::newRow("AltGr") << int(Qt::Key_AltGr) << "" << none << 0xFE03u;
    QTest::newRow("F1") << int(Qt::Key_F1) << "" << none << 0xFFBEu;
    QTest::newRow("F12") << int(Qt::Key_F12) << "" << none << 0xFFC9u;
    QTest::newRow("F35") << int(Qt::Key_F35) << "" << none << 0xFFE0u;
    QTest::newRow("space") << int(Qt::Key_Space) << " " << none << 0x20u;
    QTest::newRow("Latin-1 text") << int(Qt::Key_E) << "é" << none << 0xE9u;
    QTest::newRow("Cyrillic text") << 0x0416 << "ж" << none << 0x01000436u;
    QTest::newRow("astral text, first point only") << int(Qt::Key_unknown) << "😀x" << none
                                                   << 0x0101F600u;
    QTest::newRow("text wins over key code") << int(Qt::Key_2) << "@" << shift << 0x40u;
    QTest::newRow("Ctrl+C control text") << int(Qt::Key_C) << "\x03" << ctrl << 0x63u;
    QTest::newRow("Ctrl+Shift+C") << int(Qt::Key_C) << "\x03" << (ctrl | shift) << 0x43u;
    QTest::newRow("Ctrl+? gives DEL text") << int(Qt::Key_Question) << "\x7f" << ctrl << 0x3Fu;
    QTest::newRow("C1 control text") << int(Qt::Key_unknown) << "\u0085" << none << 0u;
    QTest::newRow("Ctrl+bracket") << int(Qt::Key_BracketLeft) << "\x1b" << ctrl << 0x5Bu;
    QTest::newRow("letter without text") << int(Qt::Key_Z) << "" << none << 0x7Au;
    QTest::newRow("unmapped key") << int(Qt::Key_VolumeUp) << "" << none << 0u;
}

void TestRemoteView::keysym()
{
    QFETCH(int, key);
    QFETCH(QString, text);
    QFETCH(int, modifiers);
    const QKeyEvent event(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers), text);
    QTEST(RemoteView::keysymFor(event), "keysym");
}

// Each script drives a live 800 x 480 panel shown in fit mode in a 1000 x 1000 view (image at
// (0, 200), 1000 x 600) and lists every message the panel must receive.
void TestRemoteView::input_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("activations");

    const QString center = QStringLiteral("P 400 240 0;");
    QTest::newRow("press maps, drag clamps, release outside")
        << "press L 500.4,500.6; move 1200,-50; release L 1200,-50"
        << "P 400 240 1; P 799 0 1; P 799 0 0" << 0;
    QTest::newRow("hover inside moves, outside does not")
        << "move 10,210; move 500,100; move 999.4,799.4" << "P 8 8 0; P 799 479 0" << 0;
    QTest::newRow("press in the margin is not sent") << "press L 500,150" << "" << 0;
    QTest::newRow("right then middle button") << "press R 100,300; press M 100,300; release R "
                                                 "100,300; release M 100,300"
                                              << "P 80 80 4; P 80 80 6; P 80 80 2; P 80 80 0" << 0;
    QTest::newRow("wheel +360") << "wheel 360 500,500"
                                << center + QStringLiteral("P 400 240 8;P 400 240 0;").repeated(3)
                                << 0;
    QTest::newRow("wheel -30") << "wheel -30 500,500" << center + "P 400 240 16; P 400 240 0" << 0;
    QTest::newRow("wheel +2400 stops at ten")
        << "wheel 2400 500,500" << center + QStringLiteral("P 400 240 8;P 400 240 0;").repeated(10)
        << 0;
    QTest::newRow("wheel at the most negative delta stops at ten")
        << "wheel -2147483648 500,500"
        << center + QStringLiteral("P 400 240 16;P 400 240 0;").repeated(10) << 0;
    QTest::newRow("wheel keeps held button")
        << "press L 500,500; wheel 120 500,500"
        << "P 400 240 1; P 400 240 1; P 400 240 9; P 400 240 1" << 0;
    QTest::newRow("wheel over the margin") << "wheel 120 500,100" << "" << 0;
    QTest::newRow("auto-repeat") << "kp A a; kar A; kap A a; kar A; kap A a; kr A"
                                 << "K 61 d; K 61 d; K 61 d; K 61 u" << 0;
    QTest::newRow("Shift, A, Shift up, A up") << "kp Shift -; kp A A; kr Shift; kr A"
                                              << "K ffe1 d; K 41 d; K ffe1 u; K 41 u" << 0;
    QTest::newRow("modifier change keeps first keysym") << "kp 1 1; kp Shift -; kap 1 !; kr 1"
                                                        << "K 31 d; K ffe1 d; K 31 d; K 31 u" << 0;
    QTest::newRow("Shift pressed while a digit is down")
        << "kp 2 2; kp Shift -; kap @ @; kar @; kr @ @; kr Shift"
        << "K 32 d; K ffe1 d; K 32 d; K 32 u; K ffe1 u" << 0;
    QTest::newRow("Ctrl+C") << "kp Ctrl -; kp C ^C; kr C; kr Ctrl"
                            << "K ffe3 d; K 63 d; K 63 u; K ffe3 u" << 0;
    QTest::newRow("Cyrillic letter") << "kp Ef ф; kr Ef" << "K 1000444 d; K 1000444 u" << 0;
    QTest::newRow("Tab reaches the panel") << "kp Tab ^I; kr Tab" << "K ff09 d; K ff09 u" << 0;
    QTest::newRow("untranslatable key") << "kp Unknown -; kr Unknown" << "" << 0;
    QTest::newRow("focus loss with Ctrl held")
        << "move 10,210; kp Ctrl -; focusout; kr Ctrl" << "P 8 8 0; K ffe3 d; K ffe3 u; P 8 8 0"
        << 0;
    QTest::newRow("focus loss releases in key-code order")
        << "kp B b; kp A a; focusout" << "K 62 d; K 61 d; K 61 u; K 62 u; P 0 0 0" << 0;
    QTest::newRow("hide releases, and so does the focus loss it causes")
        << "press L 500,500; kp A a; hide"
        << "P 400 240 1; K 61 d; K 61 u; P 400 240 0; P 400 240 0" << 0;
    QTest::newRow("view-only sends nothing")
        << "viewonly; move 500,500; press L 500,500; release L 500,500; wheel 120 500,500; "
           "kp A a; kr A; cad; tap ff0d"
        << "P 0 0 0" << 0;
    QTest::newRow("key held into view-only is released")
        << "kp A a; viewonly; kr A" << "K 61 d; K 61 u; P 0 0 0" << 0;
    QTest::newRow("activating click is swallowed")
        << "inactive; press L 500,500; active; move 600,600; release L 600,600; "
           "press L 500,500; release L 500,500"
        << "P 0 0 0; P 0 0 0; P 400 240 1; P 400 240 0" << 1;
    QTest::newRow("second button keeps swallowing")
        << "inactive; press L 500,500; press R 500,500; active; release L 500,500; "
           "wheel 120 500,500; kp A a; release R 500,500; move 500,500"
        << "P 0 0 0; P 0 0 0; P 400 240 0" << 2;
    QTest::newRow("deactivation ends the swallowing")
        << "inactive; press L 500,500; active; inactive; active; release L 500,500"
        << "P 0 0 0; P 0 0 0; P 0 0 0; P 0 0 0; P 400 240 0" << 1;
    QTest::newRow("activating release lost, next click delivered")
        << "inactive; press L 500,500; active; press L 500,500; release L 500,500; kp A a; kr A"
        << "P 0 0 0; P 0 0 0; P 400 240 1; P 400 240 0; K 61 d; K 61 u" << 1;
    QTest::newRow("tap while swallowing") << "inactive; press L 500,500; active; tap ff0d"
                                          << "P 0 0 0; P 0 0 0; K ff0d d; K ff0d u" << 1;
    QTest::newRow("tap while inactive") << "inactive; tap ff0d" << "P 0 0 0" << 0;
    QTest::newRow("Ctrl+Alt+Del releases first")
        << "move 10,210; kp A a; cad"
        << "P 8 8 0; K 61 d; K 61 u; P 8 8 0; K ffe3 d; K ffe9 d; K ffff d; K ffff u; "
           "K ffe9 u; K ffe3 u"
        << 0;
    QTest::newRow("disconnected sends nothing")
        << "end; move 500,500; press L 500,500; kp A a; cad; tap 61; focusout" << "" << 0;
}

void TestRemoteView::input()
{
    QFETCH(QString, script);
    QFETCH(QString, expected);

    Bench bench(QSize(800, 480));
    bench.place(QSize(1000, 1000), 0);
    RemoteView *view = bench.view;
    view->setViewOnly(false);
    bench.window.show();
    bench.window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&bench.window));
    view->setFocus();
    QVERIFY(view->hasFocus());
    bench.transport.takeWritten();
    QSignalSpy activations(view, &RemoteView::activationRequested);

    Qt::MouseButtons held;
    Qt::KeyboardModifiers modifiers;
    for (const QString &step : messages(script)) {
        const QStringList w = step.split(u' ');
        const QString &op = w[0];
        if (op == "press" || op == "release") {
            const Qt::MouseButton button = buttonNamed(w[1]);
            held.setFlag(button, op == "press");
            const QPointF at = pointIn(w[2]);
            QMouseEvent e(op == "press" ? QEvent::MouseButtonPress : QEvent::MouseButtonRelease,
                          at, view->mapToGlobal(at), button, held, modifiers);
            QApplication::sendEvent(view, &e);
        } else if (op == "move") {
            const QPointF at = pointIn(w[1]);
            QMouseEvent e(QEvent::MouseMove, at, view->mapToGlobal(at), Qt::NoButton, held,
                          modifiers);
            QApplication::sendEvent(view, &e);
        } else if (op == "wheel") {
            const QPointF at = pointIn(w[2]);
            QWheelEvent e(at, view->mapToGlobal(at), QPoint(), QPoint(0, w[1].toInt()), held,
                          modifiers, Qt::NoScrollPhase, false);
            QApplication::sendEvent(view, &e);
        } else if (op.startsWith(u'k')) {
            const int key = keyNamed(w[1]);
            const bool press = op == "kp" || op == "kap";
            QString text = w.value(2) == "-" ? QString() : w.value(2);
            if (text.startsWith(u'^'))
                text = QChar(text.at(1).unicode() - 0x40);
            const Qt::KeyboardModifier modifier = key == Qt::Key_Shift ? Qt::ShiftModifier
                                                  : key == Qt::Key_Control ? Qt::ControlModifier
                                                                           : Qt::NoModifier;
            if (op == "kp")
                modifiers |= modifier;
            else if (op == "kr")
                modifiers &= ~modifier;
            QKeyEvent e(press ? QEvent::KeyPress : QEvent::KeyRelease, key, modifiers,
                        scanCodeNamed(w[1]), 0, 0, text, op == "kap" || op == "kar");
            QApplication::sendEvent(view, &e);
            QVERIFY2(e.isAccepted(), qPrintable(step));
        } else if (op == "focusout") {
            bench.elsewhere->setFocus();
            QVERIFY(!view->hasFocus());
        } else if (op == "hide") {
            view->hide();
        } else if (op == "viewonly") {
            view->setViewOnly(true);
        } else if (op == "inactive") {
            view->setActive(false);
        } else if (op == "active") {
            view->setActive(true);
        } else if (op == "cad") {
            view->sendCtrlAltDel();
        } else if (op == "tap") {
            view->tapKey(w[1].toUInt(nullptr, 16));
        } else if (op == "end") {
            bench.client.disconnectFromPanel();
        } else {
            QFAIL(qPrintable("unknown step " + step));
        }
    }

    const QByteArray sent = bench.transport.takeWritten();
    QCOMPARE(decode(sent), messages(expected));
    QCOMPARE(sent, encode(messages(expected)));
    QTEST(int(activations.count()), "activations");
    if (script.contains("focusout") || script.contains("hide"))
        QVERIFY(view->pressedKeys().isEmpty());
}

void TestRemoteView::shortcutOverride_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("taken");
    QTest::newRow("interactive") << "" << true;
    QTest::newRow("view-only") << "viewonly" << false;
    QTest::newRow("inactive") << "inactive" << false;
    QTest::newRow("disconnected") << "end" << false;
}

// While the panel has the keyboard, an application shortcut on Ctrl+C must not fire.
void TestRemoteView::shortcutOverride()
{
    QFETCH(QString, setup);
    Bench bench(QSize(800, 480));
    bench.place(QSize(800, 480), 0);
    int fired = 0;
    auto *action = new QAction(&bench.window);
    action->setShortcut(QKeySequence(QStringLiteral("Ctrl+C")));
    bench.window.addAction(action);
    connect(action, &QAction::triggered, &bench.window, [&fired]() { ++fired; });
    if (setup == "viewonly")
        bench.view->setViewOnly(true);
    else if (setup == "inactive")
        bench.view->setActive(false);
    else if (setup == "end")
        bench.client.disconnectFromPanel();
    bench.window.show();
    bench.window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&bench.window));
    bench.view->setFocus();
    bench.transport.takeWritten();

    QTest::keyClick(bench.view, Qt::Key_C, Qt::ControlModifier);
    QFETCH(bool, taken);
    QCOMPARE(fired, taken ? 0 : 1);
    const QStringList keys = messages(QStringLiteral("K ffe3 d; K 63 d; K 63 u; K ffe3 u"));
    QCOMPARE(decode(bench.transport.takeWritten()), taken ? keys : QStringList());
}

void TestRemoteView::painting_data()
{
    QTest::addColumn<double>("zoom");
    QTest::addColumn<QSize>("widget");
    QTest::addColumn<bool>("ended");
    QTest::addColumn<QRect>("image");

    QTest::newRow("1:1 centred") << 1.0 << QSize(400, 200) << false << QRect(120, 52, 160, 96);
    QTest::newRow("fit") << 0.0 << QSize(400, 400) << false << QRect(0, 80, 400, 240);
    QTest::newRow("150%") << 1.5 << QSize(300, 200) << false << QRect(30, 28, 240, 144);
    QTest::newRow("after the end, dimmed") << 1.0 << QSize(400, 200) << true
                                           << QRect(120, 52, 160, 96);
}

// A 160 x 96 panel in four quadrants; the rendering must put each where the geometry says.
void TestRemoteView::painting()
{
    QFETCH(double, zoom);
    QFETCH(QSize, widget);
    QFETCH(bool, ended);
    QFETCH(QRect, image);

    const QColor quadrant[4] = {QColor(220, 30, 30), QColor(30, 200, 60), QColor(40, 60, 230),
                                QColor(250, 250, 250)};
    Bench bench(QSize(160, 96));
    bench.place(widget, zoom);
    QSignalSpy frames(&bench.client, &RfbClient::frameChanged);
    QByteArray update = rfbwire::update(4);
    for (int i = 0; i < 4; ++i)
        update += rfbwire::solidRaw(quint16(i % 2 * 80), quint16(i / 2 * 48), 80, 48,
                                    quadrant[i].rgb() & 0xFFFFFF);
    bench.transport.feed(update);
    QTRY_COMPARE(frames.count(), 1);
    QCOMPARE(bench.view->imageRect(), image);
    if (ended) {
        QSignalSpy ends(&bench.client, &RfbClient::ended);
        bench.transport.closeFromServer();
        QCOMPARE(ends.count(), 1);
    }

    const QImage shot = bench.view->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shot.size(), widget);
    auto expect = [&](QColor c) { return ended ? over(c) : c; };
    const QRect in = image.adjusted(2, 2, -3, -3);
    const QPoint probes[4] = {in.topLeft(), in.topRight(), in.bottomLeft(), in.bottomRight()};
    for (int i = 0; i < 4; ++i)
        QVERIFY2(near(shot.pixel(probes[i]), expect(quadrant[i])),
                 qPrintable(QStringLiteral("quadrant %1 at %2,%3: %4").arg(i).arg(probes[i].x())
                                .arg(probes[i].y()).arg(shot.pixel(probes[i]), 0, 16)));
    // Outside the image only the background, which the overlay leaves as it is.
    const QPoint outside[] = {image.topLeft() - QPoint(1, 1), image.bottomRight() + QPoint(1, 1)};
    for (const QPoint &p : outside)
        if (shot.rect().contains(p))
            QVERIFY(near(shot.pixel(p), background));
    if (zoom == 1.0 && !ended)
        QCOMPARE(shot.pixelColor(image.topLeft()), quadrant[0]);

    if (ended) {
        // The disconnected line: white, centred in the widget, over the dimmed picture.
        const QRect text = inkOf(shot, Qt::white, 30);
        QVERIFY(!text.isEmpty());
        QVERIFY(qAbs(text.center().x() - widget.width() / 2) <= 4);
        QVERIFY(qAbs(text.center().y() - widget.height() / 2) <= 6);
    }
}

void TestRemoteView::placeholderBeforeServerInit()
{
    Bench bench(QSize{});
    bench.client.connectToPanel(QStringLiteral("panel"), 5900, QString());
    bench.transport.feed("RFB 003.008\n");
    bench.place(QSize(600, 300), 0);
    QVERIFY(bench.view->imageRect().isNull());

    const QImage shot = bench.view->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QVERIFY(near(shot.pixel(0, 0), background, 0));
    QVERIFY(near(shot.pixel(599, 299), background, 0));
    // Glyph cores take the pen colour; their edges fade into the background.
    QVERIFY(!inkOf(shot, QColor(0x81, 0x90, 0xa6), 8).isEmpty());
    const QRect text = inkOf(shot, background, -40);
    QVERIFY(!text.isEmpty());
    QVERIFY(qAbs(text.center().x() - 300) <= 4);
    QVERIFY(qAbs(text.center().y() - 150) <= 6);
    QVERIFY(text.width() < 400 && text.height() < 40);
}

// Xvnc with an X client (xev) filling the top-left quarter of its 800 x 480 screen: the mouse on
// the view moves the X pointer and clicks there, keys typed into the view arrive in the client,
// and the picture sits where the geometry says at fit and at 150 %.
void TestRemoteView::realPeer()
{
    XVNC_NEEDED();
    XvncServer xvnc;
    QVERIFY2(xvnc.start(QSize(800, 480)), qPrintable(xvnc.errorString()));
    QVERIFY2(xvnc.run("xsetroot", {"-solid", "#2d6a4f"}), qPrintable(xvnc.errorString()));
    XClient xev;
    QProcess &client = xev.process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), xvnc.displayName());
    env.remove(QStringLiteral("XAUTHORITY"));
    client.setProcessEnvironment(env);
    client.start(QStringLiteral("xev"), {"-geometry", "400x240+0+0", "-event", "keyboard",
                                         "-event", "button", "-event", "structure"});
    QVERIFY2(client.waitForStarted(5000), "xev did not start: install x11-utils (scripts/deps.sh)");
    QString events;
    auto readEvents = [&]() {
        events += QString::fromLocal8Bit(client.readAll());
        return events;
    };
    QTRY_VERIFY_WITH_TIMEOUT(readEvents().contains("MapNotify"), 10000);

    RfbClient rfb;
    QWidget window;
    auto *view = new RemoteView(&rfb, &window);
    view->setViewOnly(false);
    view->setGeometry(0, 0, 1000, 600);
    window.resize(1000, 600);
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    view->setFocus();
    rfb.connectToPanel(QStringLiteral("127.0.0.1"), xvnc.port(), QString());
    QTRY_VERIFY_WITH_TIMEOUT(rfb.isLive(), 10000);
    const QColor root(0x2d, 0x6a, 0x4f);
    QTRY_VERIFY_WITH_TIMEOUT(near(rfb.framebuffer().pixel(600, 400), root, 0)
                                 && near(rfb.framebuffer().pixel(200, 150), Qt::white, 0),
                             20000);

    // Fit: 1.25 times, so widget (250, 150) is panel (200, 120).
    QTest::mouseMove(view, QPoint(250, 150));
    QTRY_COMPARE_WITH_TIMEOUT(xvnc.pointer(), QPoint(200, 120), 20000);
    QTest::mousePress(view, Qt::LeftButton, {}, QPoint(250, 150));
    QTest::mouseMove(view, QPoint(375, 250));
    QTRY_COMPARE_WITH_TIMEOUT(xvnc.pointer(), QPoint(300, 200), 20000);
    QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(375, 250));
    QTRY_VERIFY_WITH_TIMEOUT(readEvents().contains("ButtonRelease"), 20000);
    const QString button = QStringLiteral("%1 event[^\\n]*\\n[^\\n]*root:\\(%2\\)");
    QVERIFY(events.contains(QRegularExpression(button.arg("ButtonPress", "200,120"))));
    QVERIFY(events.contains(QRegularExpression(button.arg("ButtonRelease", "300,200"))));

    QTest::keyClicks(view, QStringLiteral("Hi"));
    QTest::keyClick(view, Qt::Key_Return);
    QTest::sendKeyEvent(QTest::Click, view, Qt::Key(0x0424), QStringLiteral("ф"), Qt::NoModifier);
    QTest::keyClick(view, Qt::Key_F5);
    QTest::keyClick(view, Qt::Key_Tab);
    QVERIFY(view->hasFocus());
    QVERIFY(view->pressedKeys().isEmpty());
    auto pressed = [&]() {
        QStringList keysyms;
        const QRegularExpression press(
            "KeyPress event[^\\n]*\\n[^\\n]*\\n[^\\n]*keysym (0x[0-9a-f]+)");
        for (auto it = press.globalMatch(readEvents()); it.hasNext();) {
            const QString keysym = it.next().captured(1);
            // Xvnc wraps a capital letter in its own Shift or Caps Lock presses.
            if (keysym != "0xffe1" && keysym != "0xffe5")
                keysyms << keysym;
        }
        return keysyms.join(' ');
    };
    QTRY_COMPARE_WITH_TIMEOUT(pressed(), QStringLiteral("0x48 0x69 0xff0d 0x1000444 0xffc2 0xff09"),
                              20000);

    // What the operator sees: fit in a taller widget (bands above and below), then 150 % (the
    // widget grows to the image), then the dimmed last picture after a disconnect.
    view->resize(1000, 700);
    const QImage fit = view->grab().toImage();
    QCOMPARE(view->imageRect(), QRect(0, 50, 1000, 600));
    QVERIFY(near(fit.pixel(500, 25), background, 0));
    QVERIFY(near(fit.pixel(250, 237), Qt::white, 0));
    QVERIFY(near(fit.pixel(750, 550), root, 0));
    view->setZoom(1.5);
    view->resize(view->minimumSize());
    QCOMPARE(view->size(), QSize(1200, 720));
    const QImage large = view->grab().toImage();
    QVERIFY(near(large.pixel(300, 225), Qt::white, 0));
    QVERIFY(near(large.pixel(900, 600), root, 0));
    view->releaseAll();
    rfb.disconnectFromPanel();
    const QImage dimmed = view->grab().toImage();
    QVERIFY(near(dimmed.pixel(900, 600), over(root)));

    const QString shots = qEnvironmentVariable("PELORIN_VIEW_SHOTS");
    if (!shots.isEmpty()) {
        fit.save(QDir(shots).filePath("remoteview-fit.png"));
        large.save(QDir(shots).filePath("remoteview-150.png"));
        dimmed.save(QDir(shots).filePath("remoteview-ended.png"));
    }
}

#include "tst_remoteview.moc"

QTEST_MAIN(TestRemoteView)

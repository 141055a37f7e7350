#pragma once

#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QRect>
#include <QRegion>
#include <QSize>
#include <QString>
#include <QTimer>

#include <deque>

// One simulated operator panel: a machine screen in Russian drawn with QPainter into an RGB32
// image, animated four times a second, driven by RFB key and pointer events.
//
// Fixed places and colours, anchored at the top left so they stay put at every screen size
// (the end-to-end test clicks them and reads the sample points; text never covers a sample):
//   "Пуск" button      QRect(16, 64, 140, 56),  fill #2e7d32, sample (22, 70)
//   "Стоп" button      QRect(172, 64, 140, 56), fill #c62828, sample (178, 70)
//   state area         QRect(16, 136, 296, 40), sample (22, 142): #5a6270 stopped ("ОСТАНОВ"),
//                      #1b8f3a running ("РАБОТА")
//   set-point field    QRect(16, 208, 296, 44), sample (22, 214): #ffffff showing the set
//                      point, #fff4c2 while digits are typed (click it, type digits, Return
//                      applies, Escape or a click elsewhere cancels, BackSpace deletes)
//   acknowledge button QRect(16, 268, 296, 44), sample (22, 274): #f9a825 while an alarm is
//                      raised, #3a4350 otherwise
//   drop button        QRect(16, 328, 140, 44), fill #ef6c00, sample (22, 334): ends every
//                      connection to the panel
//   size button        QRect(172, 328, 140, 44), fill #1565c0, sample (178, 334): switches
//                      between the two screen sizes
// The live values, the temperature trend and the alarm bar fill the rest of the screen.
//
// Signals tell the server what changed, in the order it happened: scrolled() moves an area
// sideways (sent as CopyRect), damaged() marks repainted pixels, resized() replaces the screen.
class DemoPanel : public QObject
{
    Q_OBJECT

public:
    static constexpr QRect kStartButton { 16, 64, 140, 56 };
    static constexpr QRect kStopButton { 172, 64, 140, 56 };
    static constexpr QRect kStateArea { 16, 136, 296, 40 };
    static constexpr QRect kSetPointField { 16, 208, 296, 44 };
    static constexpr QRect kAckButton { 16, 268, 296, 44 };
    static constexpr QRect kDropButton { 16, 328, 140, 44 };
    static constexpr QRect kSizeButton { 172, 328, 140, 44 };
    static constexpr int kTickMs = 250;

    // size is the first screen size, otherSize the one the size button switches to.
    DemoPanel(const QString &title, QSize size, QSize otherSize, QObject *parent = nullptr);

    const QImage &image() const { return screen; }

    void keyEvent(quint32 keysym, bool down);
    void pointerEvent(int x, int y, quint8 buttonMask);

    // Fills the trend with a history, as if the machine had been running (or standing) for a
    // while before anyone looked; call before serving.
    void warmUp(bool runningBefore);
    // The animation runs on a timer; tests stop it and step it themselves.
    void setAnimated(bool on);
    void advance();

    bool isRunning() const { return running; }
    bool alarmRaised() const { return alarm; }
    int setPoint() const { return setPointValue; }
    // Key and pointer events received so far: tests wait on it to know their input arrived.
    int inputEvents() const { return inputCount; }
    // The digits typed so far, empty when the field is not being edited.
    QString typedDigits() const { return editing ? typed : QString(); }

signals:
    void scrolled(const QRect &area, int dx);
    void damaged(const QRegion &region);
    void resized(const QSize &size);
    void dropRequested();

private:
    void click(QPoint at);
    void simulate();
    void flushDamage();
    void redrawAll();
    void drawButton(const QRect &r, const QColor &fill, const QString &text);
    void drawStateArea();
    void drawSetPoint();
    void drawAckButton();
    void drawValues();
    void drawClock();
    void drawAlarmBar();
    void drawTrend(const QRect &columns);
    void scrollTrend();
    QRect valueRect(int row) const;
    QRect trendPlot() const;
    QRect alarmBar() const;

    QString title;
    QSize sizes[2];
    int sizeIndex = 0;
    QImage screen;
    QRegion pending;
    QTimer ticker;
    quint8 lastButtons = 0;
    int inputCount = 0;

    bool running = false;
    bool alarm = false;
    bool editing = false;
    QString typed;
    int setPointValue = 1450;
    double speed = 0;
    double pieces = 0;
    double temperature = 24;
    std::deque<double> trend; // one sample per tick, newest last
    quint64 ticks = 0;
    QString shownClock;
};

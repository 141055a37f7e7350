#include "demopanel.h"

#include <QDateTime>
#include <QFont>
#include <QPainter>
#include <QRandomGenerator>

#include <cmath>
#include <cstring>

namespace {

const QColor kBackground("#1e2630");
const QColor kHeader("#101820");
const QColor kTile("#263140");
const QColor kText("#e8edf2");
const QColor kMuted("#9aa7b4");
const QColor kDark("#101820");
const QColor kStartFill("#2e7d32");
const QColor kStopFill("#c62828");
const QColor kRunningFill("#1b8f3a");
const QColor kStoppedFill("#5a6270");
const QColor kFieldFill("#ffffff");
const QColor kFieldEditing("#fff4c2");
const QColor kAckActive("#f9a825");
const QColor kAckIdle("#3a4350");
const QColor kDropFill("#ef6c00");
const QColor kSizeFill("#1565c0");
const QColor kAlarmOn("#c62828");
const QColor kAlarmBlink("#7f1d1d");
const QColor kTrendLine("#4fc3f7");
const QColor kGrid("#34404f");
const QColor kLimit("#8e2b2b");

constexpr int kRightColumn = 336;
constexpr int kTrendStep = 2; // pixels the trend moves per tick
// Enough samples for the widest plot (1280 pixels) plus the ones the scroll cuts in half.
constexpr int kMaxTrendSamples = 1280 / kTrendStep + 4;
constexpr double kTrendMin = 0, kTrendMax = 100, kTrendLimit = 85;
constexpr int kSetPointMax = 3000;
constexpr int kSetPointDigits = 4;

// X11 keysyms the panel understands.
constexpr quint32 kBackSpace = 0xff08, kReturn = 0xff0d, kEscape = 0xff1b, kKpEnter = 0xff8d;
constexpr quint32 kKp0 = 0xffb0, kKp9 = 0xffb9;

QFont font(int pixelSize, bool bold = false)
{
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    return f;
}

// The smallest rectangle holding the pixels of area that differ between before (a copy of area)
// and the screen: a value repainted with mostly the same digits costs only the digits changed.
QRect changedBounds(const QImage &before, const QImage &screen, const QRect &area)
{
    int top = area.height(), bottom = -1, left = area.width(), right = -1;
    for (int y = 0; y < area.height(); ++y) {
        const auto *a = reinterpret_cast<const QRgb *>(before.constScanLine(y));
        const auto *b
            = reinterpret_cast<const QRgb *>(screen.constScanLine(area.top() + y)) + area.left();
        for (int x = 0; x < area.width(); ++x) {
            if (a[x] == b[x])
                continue;
            top = qMin(top, y);
            bottom = y;
            left = qMin(left, x);
            right = qMax(right, x);
        }
    }
    if (bottom < 0)
        return {};
    return QRect(area.left() + left, area.top() + top, right - left + 1, bottom - top + 1);
}

} // namespace

DemoPanel::DemoPanel(const QString &title, QSize size, QSize otherSize, QObject *parent)
    : QObject(parent)
    , title(title)
    , sizes { size, otherSize }
{
    setObjectName(title);
    ticker.setInterval(kTickMs);
    connect(&ticker, &QTimer::timeout, this, &DemoPanel::advance);
    redrawAll();
    pending = QRegion();
}

void DemoPanel::setAnimated(bool on)
{
    on ? ticker.start() : ticker.stop();
}

void DemoPanel::keyEvent(quint32 keysym, bool down)
{
    ++inputCount;
    if (!down || !editing)
        return;
    if (keysym >= '0' && keysym <= '9' && typed.size() < kSetPointDigits)
        typed.append(QChar(char(keysym)));
    else if (keysym >= kKp0 && keysym <= kKp9 && typed.size() < kSetPointDigits)
        typed.append(QChar(char('0' + (keysym - kKp0))));
    else if (keysym == kBackSpace)
        typed.chop(1);
    else if (keysym == kReturn || keysym == kKpEnter) {
        if (!typed.isEmpty())
            setPointValue = qMin(typed.toInt(), kSetPointMax);
        editing = false;
    } else if (keysym == kEscape)
        editing = false;
    else
        return;
    drawSetPoint();
    flushDamage();
}

void DemoPanel::pointerEvent(int x, int y, quint8 buttonMask)
{
    // A click is the press of the left button; moves and releases change nothing.
    ++inputCount;
    const bool pressed = (buttonMask & 1) && !(lastButtons & 1);
    lastButtons = buttonMask;
    if (pressed)
        click(QPoint(x, y));
}

void DemoPanel::click(QPoint at)
{
    if (editing && !kSetPointField.contains(at)) {
        editing = false;
        drawSetPoint();
    }
    if (kStartButton.contains(at) && !running) {
        running = true;
        drawStateArea();
    } else if (kStopButton.contains(at) && running) {
        running = false;
        drawStateArea();
    } else if (kSetPointField.contains(at) && !editing) {
        editing = true;
        typed.clear();
        drawSetPoint();
    } else if (kAckButton.contains(at) && alarm) {
        alarm = false;
        drawAckButton();
        drawAlarmBar();
    } else if (kSizeButton.contains(at)) {
        sizeIndex = 1 - sizeIndex;
        redrawAll();
        pending = QRegion();
        emit resized(screen.size());
        return;
    } else if (kDropButton.contains(at)) {
        flushDamage();
        emit dropRequested();
        return;
    }
    flushDamage();
}

void DemoPanel::simulate()
{
    ++ticks;
    auto *random = QRandomGenerator::global();
    const double noise = random->bounded(2.0) - 1.0;
    if (running) {
        speed += (setPointValue - speed) * 0.2 + noise * 3;
        pieces += speed / 600.0;
        temperature += (30 + speed / 40 - temperature) * 0.02 + noise * 0.15;
    } else {
        speed *= 0.8;
        temperature += (24 - temperature) * 0.01 + noise * 0.05;
    }
    speed = qMax(0.0, speed);
    trend.push_back(temperature);
    while (trend.size() > size_t(kMaxTrendSamples))
        trend.pop_front();
}

void DemoPanel::warmUp(bool runningBefore)
{
    running = runningBefore;
    for (int i = 0; i < kMaxTrendSamples; ++i)
        simulate();
    redrawAll();
    pending = QRegion();
}

void DemoPanel::advance()
{
    simulate();
    // A fault now and then while the machine runs (about once a minute), and always on overheat.
    if (!alarm && running
        && (QRandomGenerator::global()->bounded(240) == 0 || temperature > kTrendLimit)) {
        alarm = true;
        drawAckButton();
        drawAlarmBar();
    }
    drawValues();
    drawClock();
    if (alarm && ticks % 2 == 0)
        drawAlarmBar(); // blinks
    flushDamage();
    scrollTrend();
    flushDamage();
}

void DemoPanel::flushDamage()
{
    if (pending.isEmpty())
        return;
    const QRegion region = pending;
    pending = QRegion();
    emit damaged(region);
}

void DemoPanel::redrawAll()
{
    screen = QImage(sizes[sizeIndex], QImage::Format_RGB32);
    screen.fill(kBackground);
    {
        QPainter p(&screen);
        p.fillRect(0, 0, screen.width(), 48, kHeader);
        p.setPen(kText);
        p.setFont(font(20, true));
        p.drawText(QRect(16, 0, screen.width() - 200, 48), Qt::AlignVCenter | Qt::AlignLeft, title);
        p.setFont(font(13));
        p.setPen(kMuted);
        p.drawText(QRect(16, 184, 296, 22), Qt::AlignVCenter | Qt::AlignLeft,
            tr("Уставка скорости, об/мин"));
        p.drawText(QRect(16, 384, 296, 22), Qt::AlignVCenter | Qt::AlignLeft,
            tr("Экран %1 × %2").arg(screen.width()).arg(screen.height()));
        const QString captions[3] = { tr("Скорость, об/мин"), tr("Счётчик деталей, шт"),
            tr("Температура подшипника, °C") };
        for (int row = 0; row < 3; ++row) {
            const QRect tile(kRightColumn, 64 + row * 72, screen.width() - kRightColumn - 16, 64);
            p.fillRect(tile, kTile);
            p.setPen(kMuted);
            p.drawText(tile.adjusted(10, 4, -10, 0), Qt::AlignTop | Qt::AlignLeft, captions[row]);
        }
        const QRect plot = trendPlot();
        p.fillRect(plot.adjusted(-8, -24, 8, 8), kTile);
        p.setPen(kMuted);
        p.drawText(plot.adjusted(0, -22, 0, 0), Qt::AlignTop | Qt::AlignLeft,
            tr("Тренд температуры, °C (0–100)"));
    }
    drawButton(kStartButton, kStartFill, tr("Пуск"));
    drawButton(kStopButton, kStopFill, tr("Стоп"));
    drawButton(kDropButton, kDropFill, tr("Обрыв связи"));
    drawButton(kSizeButton, kSizeFill, tr("Размер экрана"));
    drawStateArea();
    drawSetPoint();
    drawAckButton();
    shownClock.clear();
    drawClock();
    drawValues();
    drawAlarmBar();
    drawTrend(trendPlot());
    pending = QRegion(screen.rect());
}

void DemoPanel::drawButton(const QRect &r, const QColor &fill, const QString &text)
{
    QPainter p(&screen);
    p.fillRect(r, fill);
    p.setPen(fill.lightness() > 160 ? kDark : QColor(Qt::white));
    p.setFont(font(16, true));
    p.drawText(r, Qt::AlignCenter, text);
    pending += r;
}

void DemoPanel::drawStateArea()
{
    drawButton(kStateArea, running ? kRunningFill : kStoppedFill,
        running ? tr("Состояние: РАБОТА") : tr("Состояние: ОСТАНОВ"));
}

void DemoPanel::drawSetPoint()
{
    QPainter p(&screen);
    const QRect r = kSetPointField;
    p.fillRect(r, editing ? kFieldEditing : kFieldFill);
    p.setPen(kDark);
    p.setFont(font(24, true));
    const QString text = editing ? typed + QStringLiteral("▏") : QString::number(setPointValue);
    p.drawText(r.adjusted(12, 0, -12, 0), Qt::AlignVCenter | Qt::AlignRight, text);
    if (editing) {
        p.setFont(font(12));
        p.setPen(kMuted);
        p.drawText(
            r.adjusted(12, 0, -12, 0), Qt::AlignVCenter | Qt::AlignLeft, tr("Enter — применить"));
    }
    pending += r;
}

void DemoPanel::drawAckButton()
{
    drawButton(kAckButton, alarm ? kAckActive : kAckIdle, tr("Квитировать аварию"));
}

QRect DemoPanel::valueRect(int row) const
{
    return QRect(kRightColumn + 10, 64 + row * 72 + 24, screen.width() - kRightColumn - 36, 36);
}

void DemoPanel::drawValues()
{
    const QString texts[3] = { QString::number(qRound(speed)), QString::number(qint64(pieces)),
        QString::number(temperature, 'f', 1) };
    for (int row = 0; row < 3; ++row) {
        const QRect r = valueRect(row);
        const QImage before = screen.copy(r);
        {
            QPainter p(&screen);
            p.setFont(font(28, true));
            p.fillRect(r, kTile);
            p.setPen(row == 2 && temperature > kTrendLimit ? kAlarmOn.lighter(150) : kText);
            p.drawText(r, Qt::AlignVCenter | Qt::AlignRight, texts[row]);
        }
        pending += changedBounds(before, screen, r);
    }
}

void DemoPanel::drawClock()
{
    const QString now = QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss"));
    if (now == shownClock)
        return;
    shownClock = now;
    const QRect r(screen.width() - 136, 8, 120, 32);
    const QImage before = screen.copy(r);
    {
        QPainter p(&screen);
        p.fillRect(r, kHeader);
        p.setPen(kText);
        p.setFont(font(18));
        p.drawText(r, Qt::AlignVCenter | Qt::AlignRight, now);
    }
    pending += changedBounds(before, screen, r);
}

QRect DemoPanel::alarmBar() const
{
    return QRect(0, screen.height() - 40, screen.width(), 40);
}

void DemoPanel::drawAlarmBar()
{
    const QRect r = alarmBar();
    QPainter p(&screen);
    // An alarm not yet acknowledged blinks twice a second.
    p.fillRect(r, !alarm ? kHeader : ticks % 4 < 2 ? kAlarmOn : kAlarmBlink);
    p.setPen(alarm ? QColor(Qt::white) : kMuted);
    p.setFont(font(16, alarm));
    p.drawText(r.adjusted(16, 0, -16, 0), Qt::AlignVCenter | Qt::AlignLeft,
        alarm ? tr("АВАРИЯ: перегрев подшипника — нажмите «Квитировать аварию»")
              : tr("Аварий нет"));
    pending += r;
}

QRect DemoPanel::trendPlot() const
{
    return QRect(kRightColumn + 8, 64 + 3 * 72 + 24, screen.width() - kRightColumn - 32,
        screen.height() - 40 - 16 - (64 + 3 * 72 + 24) - 8);
}

void DemoPanel::drawTrend(const QRect &columns)
{
    // Everything is drawn as a function of the column, without antialiasing, so the strip
    // redrawn after a scroll joins the moved picture seamlessly.
    const QRect plot = trendPlot();
    const QRect area = columns.intersected(plot);
    if (area.isEmpty())
        return;
    QPainter p(&screen);
    p.setClipRect(area);
    p.fillRect(area, kDark);
    const auto yOf = [&plot](double value) {
        const double t
            = (qBound(kTrendMin, value, kTrendMax) - kTrendMin) / (kTrendMax - kTrendMin);
        return plot.bottom() - int(std::lround(t * (plot.height() - 1)));
    };
    p.setPen(kGrid);
    for (int v = 20; v < 100; v += 20)
        p.drawLine(area.left(), yOf(v), area.right(), yOf(v));
    // Vertical grid every 30 ticks (7.5 s), moving with the samples.
    for (int x = area.left(); x <= area.right(); ++x) {
        const qint64 back = (plot.right() - x);
        if (back % kTrendStep == 0 && (qint64(ticks) - back / kTrendStep) % 30 == 0)
            p.drawLine(x, plot.top(), x, plot.bottom());
    }
    p.setPen(kLimit);
    p.drawLine(area.left(), yOf(kTrendLimit), area.right(), yOf(kTrendLimit));
    p.setPen(QPen(kTrendLine, 2, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    const int n = int(trend.size());
    for (int i = n - 1; i > 0; --i) {
        const int x1 = plot.right() - (n - 1 - i) * kTrendStep;
        const int x0 = x1 - kTrendStep;
        // A wide pen reaches past a segment's ends: draw the neighbours too, the clip cuts them.
        if (x1 < area.left() - 2 * kTrendStep)
            break;
        if (x0 > area.right() + 2 * kTrendStep)
            continue;
        p.drawLine(x0, yOf(trend[size_t(i - 1)]), x1, yOf(trend[size_t(i)]));
    }
    pending += area;
}

void DemoPanel::scrollTrend()
{
    const QRect plot = trendPlot();
    if (plot.width() <= 4 * kTrendStep) {
        drawTrend(plot);
        flushDamage();
        return;
    }
    const int bytes = (plot.width() - kTrendStep) * 4;
    for (int y = plot.top(); y <= plot.bottom(); ++y) {
        auto *row = reinterpret_cast<QRgb *>(screen.scanLine(y)) + plot.left();
        std::memmove(row, row + kTrendStep, size_t(bytes));
    }
    emit scrolled(plot, -kTrendStep);
    // The new sample, and the line to it from the previous one, which the scroll cut short.
    drawTrend(QRect(plot.right() - 2 * kTrendStep + 1, plot.top(), 2 * kTrendStep, plot.height()));
    flushDamage();
}

#include "remoteview.h"

#include "rfbclient.h"

#include <QColor>
#include <QFocusEvent>
#include <QHideEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace {

constexpr quint32 keysymControlL = 0xFFE3;
constexpr quint32 keysymAltL = 0xFFE9;
constexpr quint32 keysymDelete = 0xFFFF;
constexpr int wheelNotch = 120;
constexpr int maxWheelSteps = 10;
constexpr quint8 wheelUpBit = 8;
constexpr quint8 wheelDownBit = 16;

// Halves away from zero, as std::round does; qRound's d + 0.5 can be off by one ulp.
int roundToInt(double value)
{
    const double limit = QWIDGETSIZE_MAX;
    return int(std::round(std::clamp(value, -limit, limit)));
}

QPoint roundPoint(const QPointF &p)
{
    return QPoint(roundToInt(p.x()), roundToInt(p.y()));
}

quint8 buttonMask(Qt::MouseButtons buttons)
{
    quint8 mask = 0;
    if (buttons & Qt::LeftButton)
        mask |= 1;
    if (buttons & Qt::MiddleButton)
        mask |= 2;
    if (buttons & Qt::RightButton)
        mask |= 4;
    return mask;
}

quint32 keysymForKeyCode(int key)
{
    switch (key) {
    case Qt::Key_Escape: return 0xFF1B;
    case Qt::Key_Tab: return 0xFF09;
    case Qt::Key_Backtab: return 0xFE20;
    case Qt::Key_Backspace: return 0xFF08;
    case Qt::Key_Return: return 0xFF0D;
    case Qt::Key_Enter: return 0xFF8D;
    case Qt::Key_Insert: return 0xFF63;
    case Qt::Key_Delete: return keysymDelete;
    case Qt::Key_Pause: return 0xFF13;
    case Qt::Key_Print: return 0xFF61;
    case Qt::Key_Home: return 0xFF50;
    case Qt::Key_End: return 0xFF57;
    case Qt::Key_Left: return 0xFF51;
    case Qt::Key_Up: return 0xFF52;
    case Qt::Key_Right: return 0xFF53;
    case Qt::Key_Down: return 0xFF54;
    case Qt::Key_PageUp: return 0xFF55;
    case Qt::Key_PageDown: return 0xFF56;
    case Qt::Key_Shift: return 0xFFE1;
    case Qt::Key_Control: return keysymControlL;
    case Qt::Key_Meta: return 0xFFEB;
    case Qt::Key_Alt: return keysymAltL;
    case Qt::Key_CapsLock: return 0xFFE5;
    case Qt::Key_NumLock: return 0xFF7F;
    case Qt::Key_ScrollLock: return 0xFF14;
    case Qt::Key_AltGr: return 0xFE03;
    default: break;
    }
    // F1..F35 are consecutive both in Qt and in X11.
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35)
        return quint32(key - Qt::Key_F1) + 0xFFBE;
    return 0;
}

} // namespace

RemoteView::RemoteView(RfbClient *client, QWidget *parent)
    : QWidget(parent), client(client)
{
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAccessibleName(tr("Экран панели"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    // Every pixel is painted here, so nothing behind the view is repainted under each update.
    setAttribute(Qt::WA_OpaquePaintEvent);
    if (client) {
        connect(client, &RfbClient::frameChanged, this, &RemoteView::onFrameChanged);
        // A new attempt drops the picture without a frameChanged; its first status is the cue
        // to paint the placeholder instead of the stale screen.
        connect(client, &RfbClient::status, this, [this]() {
            shownFrameSize = QSize();
            update();
        });
    }
}

RemoteView::~RemoteView() = default;

bool RemoteView::isLive() const
{
    return client && client->isLive();
}

bool RemoteView::isInteractive() const
{
    return active && !clickSwallowed && !viewOnly && isLive();
}

QSize RemoteView::targetSize() const
{
    if (!client || client->framebuffer().isNull())
        return QSize();
    const QSize frame = client->framebuffer().size();
    if (zoom > 0)
        return QSize(roundToInt(frame.width() * zoom), roundToInt(frame.height() * zoom));
    return frame.scaled(size(), Qt::KeepAspectRatio);
}

QRect RemoteView::imageRect() const
{
    const QSize target = targetSize();
    if (target.isEmpty())
        return QRect();
    // Integer division truncates toward zero, also when a fixed zoom overflows the widget.
    return QRect(QPoint((width() - target.width()) / 2, (height() - target.height()) / 2), target);
}

QSize RemoteView::sizeHint() const
{
    if (zoom > 0 && client && !client->framebuffer().isNull())
        return targetSize();
    return QSize(800, 480);
}

void RemoteView::setZoom(double factor)
{
    zoom = factor;
    // With a fixed factor the enclosing scroll area scrolls instead of squeezing the image.
    setMinimumSize(factor > 0 ? sizeHint() : QSize(1, 1));
    updateGeometry();
    update();
}

QRegion RemoteView::widgetRegion(const QRegion &frameRegion) const
{
    const QRect target = imageRect();
    if (target.isEmpty() || !client)
        return QRegion();
    const QSize frame = client->framebuffer().size();
    const double sx = double(target.width()) / frame.width();
    const double sy = double(target.height()) / frame.height();
    // A smoothed pixel blends the two image pixels nearest to its centre on each axis, so a
    // changed image pixel reaches one scaled pixel further on each side; one more for rounding.
    // At 1:1 nothing is blended.
    const bool smooth = zoom != 1.0;
    const int padX = smooth ? int(std::ceil(sx)) + 1 : 0;
    const int padY = smooth ? int(std::ceil(sy)) + 1 : 0;
    QRegion out;
    for (const QRect &r : frameRegion) {
        const int left = int(std::floor(r.left() * sx)) - padX;
        const int top = int(std::floor(r.top() * sy)) - padY;
        const int right = int(std::ceil((r.right() + 1) * sx)) + padX;
        const int bottom = int(std::ceil((r.bottom() + 1) * sy)) + padY;
        out += QRect(left, top, right - left, bottom - top).translated(target.topLeft());
    }
    return out & target;
}

void RemoteView::onFrameChanged()
{
    const QImage &frame = client->framebuffer();
    // A new size (or a new screen after a reconnection) moves the image and may change the hints.
    if (frame.size() != shownFrameSize) {
        shownFrameSize = frame.size();
        if (zoom > 0)
            setMinimumSize(sizeHint());
        updateGeometry();
        pendingChange.clear();
        update();
        return;
    }
    pendingChange.addRegion(client->changedRegion());
    if (repaintQueued)
        return;
    repaintQueued = true;
    QTimer::singleShot(0, this, [this]() {
        repaintQueued = false;
        if (!pendingChange.isEmpty())
            update(widgetRegion(pendingChange.take()));
    });
}

void RemoteView::setViewOnly(bool on)
{
    releaseAll();
    viewOnly = on;
    setCursor(on ? Qt::ArrowCursor : Qt::CrossCursor);
}

void RemoteView::setActive(bool on)
{
    if (on == active)
        return;
    releaseAll();
    active = on;
    if (!on)
        clickSwallowed = false;
}

void RemoteView::releaseAll()
{
    // Taken out first: a failing write may end the connection, and the owner's handler calls
    // back here while this loop would still be walking the map.
    const QMap<int, quint32> keys = std::exchange(heldKeys, {});
    heldScanCodes.clear();
    if (!client)
        return;
    for (auto it = keys.cbegin(); it != keys.cend(); ++it)
        client->sendKey(it.value(), false);
    client->sendPointer(quint16(lastPointer.x()), quint16(lastPointer.y()), 0);
}

void RemoteView::sendCtrlAltDel()
{
    if (!isInteractive())
        return;
    releaseAll();
    const quint32 sequence[] = {keysymControlL, keysymAltL, keysymDelete};
    for (quint32 keysym : sequence)
        client->sendKey(keysym, true);
    for (int i = 2; i >= 0; --i)
        client->sendKey(sequence[i], false);
}

void RemoteView::tapKey(quint32 keysym)
{
    if (!active || viewOnly || !isLive())
        return;
    client->sendKey(keysym, true);
    client->sendKey(keysym, false);
}

quint32 RemoteView::keysymFor(const QKeyEvent &event)
{
    const int key = event.key();
    if (const quint32 keysym = keysymForKeyCode(key))
        return keysym;

    // DEL and the C1 range are control characters too (Ctrl+? yields DEL); as keysyms they
    // would name no key at all.
    const QList<uint> text = event.text().toUcs4();
    const uint c = text.isEmpty() ? 0 : text.first();
    if (c >= 0x20 && !(c >= 0x7F && c <= 0x9F))
        return c <= 0xFF ? c : (c | 0x01000000u);
    // No text, or a control character (Ctrl held): fall back on the key code.
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return (event.modifiers() & Qt::ShiftModifier) ? quint32(key) : quint32(key + 0x20);
    if (key >= 0x20 && key <= 0x7E)
        return quint32(key);
    return 0;
}

bool RemoteView::insideImage(const QPointF &position) const
{
    return imageRect().contains(roundPoint(position));
}

void RemoteView::sendPointerAt(const QPointF &position, Qt::MouseButtons buttons)
{
    if (!isInteractive())
        return;
    const QRect r = imageRect();
    if (r.isEmpty())
        return;
    const QImage &frame = client->framebuffer();
    const double w = frame.width();
    const double h = frame.height();
    // Clamped as doubles so that a far-away drag never overflows the conversion.
    const double fx = std::trunc(w * (position.x() - r.left()) / r.width());
    const double fy = std::trunc(h * (position.y() - r.top()) / r.height());
    const int x = int(std::clamp(fx, 0.0, w - 1));
    const int y = int(std::clamp(fy, 0.0, h - 1));
    lastPointer = QPoint(x, y);
    client->sendPointer(quint16(x), quint16(y), buttonMask(buttons));
}

void RemoteView::mousePressEvent(QMouseEvent *event)
{
    if (!active) {
        // The activating click belongs to the workspace, never to the panel.
        clickSwallowed = true;
        const QPointer<RemoteView> self(this);
        emit activationRequested();
        if (!self)
            return;
        setFocus(Qt::MouseFocusReason);
        event->accept();
        return;
    }
    // A press with no other button held means the swallowed click's release went elsewhere
    // (a modal dialog, a hide during the drag); this click is a new one and belongs to the panel.
    if (clickSwallowed && event->buttons() == event->button())
        clickSwallowed = false;
    if (!insideImage(event->position()))
        return;
    setFocus(Qt::MouseFocusReason);
    sendPointerAt(event->position(), event->buttons());
}

void RemoteView::mouseMoveEvent(QMouseEvent *event)
{
    // A drag that leaves the image keeps going, clamped to its edge.
    if (insideImage(event->position()) || event->buttons() != Qt::NoButton)
        sendPointerAt(event->position(), event->buttons());
}

void RemoteView::mouseReleaseEvent(QMouseEvent *event)
{
    if (clickSwallowed) {
        if (event->buttons() == Qt::NoButton)
            clickSwallowed = false;
        event->accept();
        return;
    }
    sendPointerAt(event->position(), event->buttons());
}

void RemoteView::wheelEvent(QWheelEvent *event)
{
    if (!isInteractive() || !insideImage(event->position()))
        return;
    sendPointerAt(event->position(), event->buttons());
    const int dy = event->angleDelta().y();
    if (dy == 0)
        return;
    // Widened first: the magnitude of INT_MIN does not fit an int.
    const int steps =
        int(std::clamp<qint64>(std::abs(qint64(dy)) / wheelNotch, 1, maxWheelSteps));
    const quint8 mask = buttonMask(event->buttons());
    const quint8 wheel = dy > 0 ? wheelUpBit : wheelDownBit;
    const quint16 x = quint16(lastPointer.x());
    const quint16 y = quint16(lastPointer.y());
    for (int i = 0; i < steps; ++i) {
        client->sendPointer(x, y, mask | wheel);
        client->sendPointer(x, y, mask);
    }
    event->accept();
}

int RemoteView::heldKeyFor(const QKeyEvent &event) const
{
    if (heldKeys.contains(event.key()) || event.nativeScanCode() == 0)
        return event.key();
    return heldScanCodes.value(event.nativeScanCode(), event.key());
}

void RemoteView::handleKeyPress(QKeyEvent *event)
{
    // Consumed whether sent or not: key presses never reach the widgets around the view.
    event->accept();
    if (!isInteractive())
        return;
    // Auto-repeat, or a modifier that changed while the key is down, keeps the first keysym.
    const int key = heldKeyFor(*event);
    const auto held = heldKeys.constFind(key);
    const quint32 keysym = held != heldKeys.cend() ? held.value() : keysymFor(*event);
    if (keysym == 0)
        return;
    heldKeys.insert(key, keysym);
    if (event->nativeScanCode() != 0)
        heldScanCodes.insert(event->nativeScanCode(), key);
    client->sendKey(keysym, true);
}

void RemoteView::handleKeyRelease(QKeyEvent *event)
{
    event->accept();
    if (event->isAutoRepeat())
        return;
    // Not gated on interactivity: a key pressed on the panel is always released there.
    const int key = heldKeyFor(*event);
    const auto held = heldKeys.find(key);
    if (held == heldKeys.end())
        return;
    const quint32 keysym = held.value();
    heldKeys.erase(held);
    heldScanCodes.removeIf([key](const std::pair<const quint32 &, int &> &entry) {
        return entry.second == key;
    });
    if (client)
        client->sendKey(keysym, false);
}

bool RemoteView::event(QEvent *event)
{
    switch (event->type()) {
    case QEvent::ShortcutOverride:
        // No application shortcut fires while the panel has the keyboard.
        if (isLive() && active && !viewOnly) {
            event->accept();
            return true;
        }
        break;
    case QEvent::KeyPress:
        // Handled here so that Tab and Backtab reach the panel instead of moving the focus.
        handleKeyPress(static_cast<QKeyEvent *>(event));
        return true;
    case QEvent::KeyRelease:
        handleKeyRelease(static_cast<QKeyEvent *>(event));
        return true;
    default:
        break;
    }
    return QWidget::event(event);
}

void RemoteView::keyPressEvent(QKeyEvent *event)
{
    handleKeyPress(event);
}

void RemoteView::keyReleaseEvent(QKeyEvent *event)
{
    handleKeyRelease(event);
}

void RemoteView::focusOutEvent(QFocusEvent *event)
{
    releaseAll();
    QWidget::focusOutEvent(event);
}

void RemoteView::hideEvent(QHideEvent *event)
{
    releaseAll();
    QWidget::hideEvent(event);
}

void RemoteView::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    const QColor background(0x0c, 0x11, 0x19);

    if (!client || client->framebuffer().isNull()) {
        painter.fillRect(rect(), background);
        painter.setPen(QColor(0x81, 0x90, 0xa6));
        painter.drawText(rect(), Qt::AlignCenter, tr("Ожидание экрана панели"));
        return;
    }

    // An opaque image covers its rectangle, so only the margins around it are filled; they
    // overlap it by a pixel, so that rounding at a fractional device pixel ratio leaves no seam.
    const QImage &frame = client->framebuffer();
    const QRect target = imageRect();
    const QRect covered = frame.hasAlphaChannel() ? QRect() : target.adjusted(1, 1, -1, -1);
    if (!covered.contains(event->rect())) {
        for (const QRect &margin : QRegion(rect()).subtracted(covered))
            painter.fillRect(margin, background);
    }

    // 1:1 stays pixel-exact; every other scale, fit included, is smoothed.
    if (zoom != 1.0)
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
    // Qt's raster engine hands a drawing of 96 or more device lines to its thread pool and
    // waits for it. For the few lines an update usually changes, waking the pool costs more than
    // drawing, so the image is drawn in bands under that height, clipped, on this thread: every
    // pixel comes out as one drawing would make it. Each part of the region grows by a pixel, so
    // that at a fractional scale the bands cover the device pixels Qt's own clip rounds outward;
    // that clip still keeps the drawing inside the region.
    const int band = std::max(1, int(64 / devicePixelRatioF()));
    for (const QRect &part : event->region() & target) {
        const QRect r = part.adjusted(-1, -1, 1, 1);
        for (int y = r.top(); y <= r.bottom(); y += band) {
            painter.setClipRect(QRect(r.left(), y, r.width(), std::min(band, r.bottom() + 1 - y)));
            painter.drawImage(target, frame);
        }
    }
    painter.setClipping(false);

    if (!client->isLive()) {
        painter.fillRect(rect(), QColor(12, 17, 25, 190));
        painter.setPen(Qt::white);
        painter.drawText(rect(), Qt::AlignCenter,
                         tr("Сеанс отключён • изображение не обновляется"));
    }
}

#pragma once

#include "damagecollector.h"

#include <QMap>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QRegion>
#include <QWidget>

class QKeyEvent;
class RfbClient;

// The widget that shows the framebuffer of one RfbClient and turns mouse, wheel and keyboard
// into RFB KeyEvent and PointerEvent messages.
//
// Contract:
//  - The client is not owned; its owner keeps it alive at least as long as the view. The view
//    paints the client's framebuffer directly; on every frameChanged() it repaints the part of
//    the widget that shows the client's changedRegion(), or everything when the size changed.
//    It is opaque: it paints every pixel of its rectangle, the margins around the image included.
//  - Input reaches the panel only while the view is interactive: active, not view-only, not
//    swallowing an activating click, and the client live.
//  - Every key pressed on the panel is remembered until it is released, so releaseAll() (called
//    on focus loss, on hide and by the owner before a disconnect) releases exactly those keys.
//  - activationRequested() is emitted by a press on an inactive view; that click, its drags and
//    its release never reach the panel.
class RemoteView : public QWidget
{
    Q_OBJECT

public:
    explicit RemoteView(RfbClient *client, QWidget *parent = nullptr);
    ~RemoteView() override;

    // 0 (or any value not above 0) fits the image to the widget; otherwise a fixed scale.
    void setZoom(double factor);
    double zoomFactor() const { return zoom; }

    // Where the framebuffer is drawn, in widget coordinates; empty without a framebuffer.
    QRect imageRect() const;
    // The widget pixels whose painting depends on the given framebuffer pixels at the current
    // zoom, smoothing included: what a repaint of a changed part of the frame must cover.
    QRegion widgetRegion(const QRegion &frameRegion) const;
    QSize sizeHint() const override;

    void setViewOnly(bool on);
    bool isViewOnly() const { return viewOnly; }
    void setActive(bool on);
    bool isActive() const { return active; }
    bool isInteractive() const;

    // Releases every key held on the panel and lifts all buttons at the last pointer position.
    void releaseAll();
    void sendCtrlAltDel();
    // Press and release of one key; not blocked by a click being swallowed.
    void tapKey(quint32 keysym);

    // Keys pressed on the panel and not yet released: Qt key code to the keysym sent.
    const QMap<int, quint32> &pressedKeys() const { return heldKeys; }
    QPoint lastPointerPosition() const { return lastPointer; }

    // The X11 keysym for a key event; 0 when the key has no equivalent.
    static quint32 keysymFor(const QKeyEvent &event);

signals:
    void activationRequested();

protected:
    bool event(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void onFrameChanged();
    bool isLive() const;
    QSize targetSize() const;
    bool insideImage(const QPointF &position) const;
    void sendPointerAt(const QPointF &position, Qt::MouseButtons buttons);
    int heldKeyFor(const QKeyEvent &event) const;
    void handleKeyPress(QKeyEvent *event);
    void handleKeyRelease(QKeyEvent *event);

    QPointer<RfbClient> client;
    bool viewOnly = false;
    bool active = true;
    bool clickSwallowed = false;
    double zoom = 0;
    QPoint lastPointer;
    QMap<int, quint32> heldKeys;
    // Native scan code of each held key to its entry in heldKeys. X11 names a key after what it
    // produces now, so a modifier pressed while it is down changes the Qt key code of its
    // repeats and of its release.
    QMap<quint32, int> heldScanCodes;
    QSize shownFrameSize; // framebuffer size at the last frameChanged()
    // Frame changes not yet handed to update(): the updates of one pass over the input become
    // one repaint of a few rectangles.
    DamageCollector pendingChange;
    bool repaintQueued = false;
};

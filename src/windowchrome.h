#pragma once

#include <Qt>

class QEvent;
class QObject;
class QPoint;
class QSize;
class QString;
class QWidget;

// The chrome of frameless top-level windows: a title bar that hands dragging to
// the window system, and edge resizing through an application-wide filter.

// Width of the band, inside the window along each edge, where a left press
// starts a system resize.
inline constexpr int resizeBand = 6;

// Edges of a window of this size that a press at pos (window coordinates) would
// resize; two edges near a corner, none further inside than the band.
Qt::Edges resizeEdges(const QPoint &pos, const QSize &size);

// What the resize filter of target decides for this event delivered to watched:
// the edges to resize, or none when the event must pass through (not a left
// press, not inside target, target maximised or full screen, or not in the band).
Qt::Edges pressResizeEdges(const QWidget *target, const QObject *watched, const QEvent *event);

// A title bar (object name "windowBar") for window: logo, caption and the window
// buttons; mainWindow gives minimise, maximise and close, otherwise close only.
// The bar is parented to window; put it into the window's layout.
QWidget *createTitleBar(QWidget *window, const QString &title, bool mainWindow);

// Lets the user resize window from its edges. The filter lives as long as window.
void installResizeFilter(QWidget *window);

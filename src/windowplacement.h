#pragma once

#include <QByteArray>
#include <QList>
#include <QRect>
#include <QSize>

// Where the main window opens and how small it may get, decided from the
// screens there are. A plain value without widgets: the window hands it the
// available areas of the attached screens (the desktop less taskbars and
// docks) and applies what comes back.
//
// The designed sizes hold wherever they fit; on a smaller screen the window
// takes that screen's available area instead, so the title bar, the sidebar's
// lowest button and the right end of the top bar stay reachable.
class WindowPlacement
{
public:
    WindowPlacement(QSize preferred, QSize minimum)
        : preferredSize(preferred)
        , minimumSize(minimum)
    {
    }

    struct Result
    {
        QRect geometry; // the window's frame, in the screens' coordinates
        QSize minimum;
        bool operator==(const Result &other) const
        {
            return geometry == other.geometry && minimum == other.minimum;
        }
    };

    // areas: the available areas of every attached screen; home: the index of
    // the screen the window opens on (the primary one). restored: the geometry
    // read back from the settings, or an invalid rect when there is none.
    //
    // Without a restored geometry the window takes the preferred size, no larger
    // than home's area, centred on it. A restored geometry is kept while it lies
    // on the attached screens; one that reaches off them is shrunk to the screen
    // it overlaps most and moved onto it, and one off every screen (a monitor
    // since removed) is centred on home. The minimum is the designed one, no
    // larger than the area of the screen the window ends up on.
    Result place(const QList<QRect> &areas, int home, const QRect &restored) const;
    // The minimum on a screen of this available area (an empty area: the designed one).
    QSize minimumOn(const QRect &area) const;
    QSize preferred() const { return preferredSize; }

    // The normal geometry (the one a maximised window returns to) inside bytes written by
    // QWidget::saveGeometry, or an invalid rect when the bytes are not such a record.
    static QRect storedNormalGeometry(const QByteArray &saved);

private:
    QSize preferredSize;
    QSize minimumSize;
};

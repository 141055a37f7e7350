#pragma once

#include "chromedialog.h"
#include "panelprofile.h"

#include <QPointer>
#include <QString>
#include <QVector>

class QCheckBox;
class QGridLayout;
class QPushButton;
class RemoteView;
class RfbClient;

// A modal dialog of clickable keys that sends X11 keysyms to one session's panel, with Ctrl,
// Alt and Shift as one-shot modifiers. The modifiers go straight to the client, the key itself
// through the view's tapKey(), so a key is only sent while the view is active, the session is
// not view-only and the client is live. The dialog is built afresh on every opening, so the
// modifiers always start unchecked. Neither the client nor the view is owned.
class OnScreenKeyboard : public ChromeDialog
{
    Q_OBJECT

public:
    enum Modifier { Ctrl, Alt, Shift };

    struct Key
    {
        int row;
        int column;
        QString text;
        quint32 keysym;
    };

    // Releases what the view holds, runs the dialog over session modally, releases again
    // after it closed and destroys it. The caller asks for the session's activation first.
    static void run(
        QWidget *session, RfbClient *client, RemoteView *view, const PanelProfile &profile);

    OnScreenKeyboard(
        QWidget *session, RfbClient *client, RemoteView *view, const PanelProfile &profile);
    ~OnScreenKeyboard() override;

    // The key grid, row 0 at the top.
    static QVector<Key> layout();

    QPushButton *keyButtonAt(int row, int column) const;
    QPushButton *keyButton(quint32 keysym) const;
    QCheckBox *modifierBox(Modifier modifier) const;
    QPushButton *closeButton() const { return closeKey; }

    // What a click on the key with this keysym does.
    void press(quint32 keysym);

private:
    QPointer<RfbClient> client;
    QPointer<RemoteView> view;
    bool viewOnly = false;
    QCheckBox *ctrlBox = nullptr;
    QCheckBox *altBox = nullptr;
    QCheckBox *shiftBox = nullptr;
    QGridLayout *grid = nullptr;
    QPushButton *closeKey = nullptr;
};

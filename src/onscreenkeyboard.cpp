#include "onscreenkeyboard.h"

#include "remoteview.h"
#include "rfbclient.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr quint32 controlL = 0xFFE3;
constexpr quint32 altL = 0xFFE9;
constexpr quint32 shiftL = 0xFFE1;

// Text and keysym of one printable key: shown in upper case, sent as typed.
void addCharacterRow(QVector<OnScreenKeyboard::Key> &keys, int row, const char *characters)
{
    for (int column = 0; characters[column] != '\0'; ++column) {
        const QChar c = QLatin1Char(characters[column]);
        keys.append({ row, column, QString(c.toUpper()), quint32(c.unicode()) });
    }
}

} // namespace

QVector<OnScreenKeyboard::Key> OnScreenKeyboard::layout()
{
    QVector<Key> keys;
    for (int column = 0; column < 12; ++column)
        keys.append({ 0, column, QStringLiteral("F%1").arg(column + 1), quint32(0xFFBE + column) });
    addCharacterRow(keys, 1, "1234567890-.");
    addCharacterRow(keys, 2, "qwertyuiop");
    addCharacterRow(keys, 3, "asdfghjkl");
    addCharacterRow(keys, 4, "zxcvbnm");
    const QVector<Key> special = {
        { 5, 0, tr("Esc"), 0xFF1B },
        { 5, 1, tr("Tab"), 0xFF09 },
        { 5, 2, QStringLiteral("←"), 0xFF51 },
        { 5, 3, QStringLiteral("↑"), 0xFF52 },
        { 5, 4, QStringLiteral("↓"), 0xFF54 },
        { 5, 5, QStringLiteral("→"), 0xFF53 },
        { 5, 6, QStringLiteral("⌫"), 0xFF08 },
        { 5, 7, tr("Del"), 0xFFFF },
        { 5, 8, tr("Пробел"), 0x20 },
        { 5, 9, tr("Enter"), 0xFF0D },
    };
    keys += special;
    return keys;
}

OnScreenKeyboard::OnScreenKeyboard(
    QWidget *session, RfbClient *client, RemoteView *view, const PanelProfile &profile)
    : ChromeDialog(tr("Клавиатура · %1").arg(profile.name), session)
    , client(client)
    , view(view)
    , viewOnly(profile.viewOnly)
{
    resize(780, 420);

    auto *hint = new QLabel(
        tr("Клавиши отправляются только этой панели. Модификаторы действуют на одно нажатие."),
        this);
    hint->setWordWrap(true);
    contentLayout()->addWidget(hint);

    // Keys and modifiers take no focus and are never the default button: otherwise Enter or
    // Space on the desk keyboard would repeat the last clicked key on a live panel.
    auto *modifiers = new QHBoxLayout;
    ctrlBox = new QCheckBox(tr("Ctrl"), this);
    altBox = new QCheckBox(tr("Alt"), this);
    shiftBox = new QCheckBox(tr("Shift"), this);
    for (QCheckBox *box : { ctrlBox, altBox, shiftBox }) {
        box->setFocusPolicy(Qt::NoFocus);
        modifiers->addWidget(box);
    }
    modifiers->addStretch();
    contentLayout()->addLayout(modifiers);

    grid = new QGridLayout;
    for (const Key &key : layout()) {
        auto *button = new QPushButton(key.text, this);
        button->setMinimumHeight(36);
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoDefault(false);
        const quint32 keysym = key.keysym;
        connect(button, &QPushButton::clicked, this, [this, keysym] { press(keysym); });
        grid->addWidget(button, key.row, key.column);
    }
    contentLayout()->addLayout(grid);

    closeKey = new QPushButton(tr("Закрыть клавиатуру"), this);
    connect(closeKey, &QPushButton::clicked, this, &QDialog::accept);
    contentLayout()->addWidget(closeKey);
}

OnScreenKeyboard::~OnScreenKeyboard() = default;

void OnScreenKeyboard::run(
    QWidget *session, RfbClient *client, RemoteView *view, const PanelProfile &profile)
{
    QPointer<RemoteView> guardedView(view);
    if (guardedView)
        guardedView->releaseAll();
    QPointer<OnScreenKeyboard> dialog = new OnScreenKeyboard(session, client, view, profile);
    dialog->exec();
    // The session (and with it the dialog and the view) may have gone while the dialog ran.
    if (guardedView)
        guardedView->releaseAll();
    delete dialog.data();
}

QPushButton *OnScreenKeyboard::keyButtonAt(int row, int column) const
{
    QLayoutItem *item = grid->itemAtPosition(row, column);
    return item ? qobject_cast<QPushButton *>(item->widget()) : nullptr;
}

QPushButton *OnScreenKeyboard::keyButton(quint32 keysym) const
{
    for (const Key &key : layout()) {
        if (key.keysym == keysym)
            return keyButtonAt(key.row, key.column);
    }
    return nullptr;
}

QCheckBox *OnScreenKeyboard::modifierBox(Modifier modifier) const
{
    switch (modifier) {
    case Ctrl:
        return ctrlBox;
    case Alt:
        return altBox;
    case Shift:
        return shiftBox;
    }
    return nullptr;
}

void OnScreenKeyboard::press(quint32 keysym)
{
    // Nothing at all, not even the modifiers, unless the key itself would reach the panel;
    // the boxes keep their state for the next try.
    if (!client || !view || !view->isActive() || viewOnly || view->isViewOnly()
        || !client->isLive())
        return;

    const bool ctrl = ctrlBox->isChecked();
    const bool alt = altBox->isChecked();
    const bool shift = shiftBox->isChecked();
    if (ctrl)
        client->sendKey(controlL, true);
    if (alt)
        client->sendKey(altL, true);
    if (shift)
        client->sendKey(shiftL, true);

    quint32 key = keysym;
    if (shift && key >= 0x61 && key <= 0x7A)
        key -= 0x20;
    view->tapKey(key);

    if (shift)
        client->sendKey(shiftL, false);
    if (alt)
        client->sendKey(altL, false);
    if (ctrl)
        client->sendKey(controlL, false);

    ctrlBox->setChecked(false);
    altBox->setChecked(false);
    shiftBox->setChecked(false);
}

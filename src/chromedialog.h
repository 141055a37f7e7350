#pragma once

#include <QDialog>

class QVBoxLayout;

// Base of every dialog of the program: frameless, with the application's title
// bar (logo, caption, close button) and resizable from its edges. Users set
// their own minimum size, fill contentLayout() and run exec().
class ChromeDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ChromeDialog(const QString &title, QWidget *parent = nullptr);
    ~ChromeDialog() override;

    // The vertical layout of the body, below the title bar.
    QVBoxLayout *contentLayout() const;

private:
    QVBoxLayout *bodyLayout = nullptr;
};

// Asks a yes/cancel question ("Продолжить" / "Отмена") modally. True only when the
// user pressed "Продолжить"; Escape and the close button count as cancelling.
bool confirm(QWidget *parent, const QString &title, const QString &text);

// Shows text (plain, never markup) with one button "Понятно", modally.
void notify(QWidget *parent, const QString &title, const QString &text);

// A tool tip that shows text literally. Qt shows a tool tip that looks like markup as
// rich text, which would render (and load) whatever a panel's name or notes hold.
QString plainToolTip(const QString &text);

// The application's own open/save file dialog, run modally. path is a folder or a
// proposed file; in save mode a name typed without a suffix gets the filter's
// (".png", ".json", otherwise ".txt"). Returns the chosen path, or "" when cancelled.
QString chooseFile(QWidget *parent, const QString &title, const QString &path,
                   const QString &filter, bool save);

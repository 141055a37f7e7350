#pragma once

#include "chromedialog.h"

class QTextBrowser;

// "Сторонние компоненты": the component notice (":/THIRD_PARTY.md", as
// Markdown) and, on request, the LGPL v3 or GPL v3 text in its place. Only
// reopening the dialog brings the notice back.
class LicencesDialog : public ChromeDialog
{
    Q_OBJECT

public:
    explicit LicencesDialog(QWidget *parent = nullptr);

    // Runs a new dialog modally over parent and destroys it.
    static void run(QWidget *parent);

private:
    void showLicence(const QString &resource);

    QTextBrowser *browser = nullptr;
};

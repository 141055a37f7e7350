#pragma once

#include "chromedialog.h"

// "О программе": the product, what it is for, the maker's website and the
// warning that the connection is not encrypted, with the way to the component
// licences. The website address is a build setting (PELORIN_WEBSITE_URL).
class AboutDialog : public ChromeDialog
{
    Q_OBJECT

public:
    explicit AboutDialog(QWidget *parent = nullptr);

    // The maker's website as built into the program.
    static QString websiteUrl();

    // Runs a new About box modally over parent and destroys it.
    static void run(QWidget *parent);
};

// The component dialog: a licence replaces whatever the browser showed.
#include "licencesdialog.h"

#include <QFile>
#include <QPushButton>
#include <QTextBrowser>
#include <QtTest>

class TestAboutDialog : public QObject
{
    Q_OBJECT

private slots:
    void licenceReplacesContent()
    {
        QFile lgpl(QStringLiteral(PELORIN_SOURCE_DIR "/licenses/LGPL-3.0.txt"));
        QVERIFY(lgpl.open(QIODevice::ReadOnly));

        LicencesDialog dialog;
        auto *browser = dialog.findChild<QTextBrowser *>();
        QVERIFY(browser->toPlainText().startsWith(QStringLiteral("Сторонний код")));
        QPushButton *gplButton = nullptr;
        QPushButton *lgplButton = nullptr;
        for (QPushButton *button : dialog.findChildren<QPushButton *>()) {
            if (button->text() == QStringLiteral("GPL v3"))
                gplButton = button;
            if (button->text() == QStringLiteral("LGPL v3"))
                lgplButton = button;
        }
        QVERIFY(gplButton && lgplButton);
        gplButton->click();
        lgplButton->click();
        QCOMPARE(browser->toPlainText(), QString::fromUtf8(lgpl.readAll()));
    }
};

QTEST_MAIN(TestAboutDialog)
#include "tst_aboutdialog.moc"

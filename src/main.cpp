#include "mainwindow.h"
#include "singleinstance.h"

#include <QApplication>
#include <QFile>
#include <QFont>
#include <QPixmap>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // These two names address the per-user settings store: changing them moves
    // the address book, the journal and the workspace.
    QCoreApplication::setOrganizationName(QStringLiteral("Pelorin"));
    QCoreApplication::setApplicationName(QStringLiteral("PelorinVNC"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PELORIN_VERSION));
    // Lets the desktop match the window to the installed entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.pelorin"));
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setFont(QFont(QStringLiteral("Segoe UI"), 10));

    QFile theme(QStringLiteral(":/theme.qss"));
    if (theme.open(QIODevice::ReadOnly))
        app.setStyleSheet(QString::fromUtf8(theme.readAll()));

    // Only the first exact "--screenshot" counts; the argument after it is the
    // path, whatever it looks like.
    const QStringList args = QCoreApplication::arguments();
    const int at = args.indexOf(QStringLiteral("--screenshot"));
    const bool screenshot = at >= 0 && at + 1 < args.size();

    // Two copies on one settings location would overwrite each other's address
    // book and journal. A capture only reads, so it is not held back.
    SingleInstance instance;
    if (!screenshot) {
        switch (instance.claim()) {
        case SingleInstance::Claim::First:
            break;
        case SingleInstance::Claim::HandedOver:
            return 0;
        case SingleInstance::Claim::NoAnswer:
            std::fprintf(
                stderr, "pelorin: another copy is running on these settings but does not answer\n");
            return 1;
        }
    }

    MainWindow window;
    if (screenshot)
        window.sizeForCapture();
    window.show();
    QObject::connect(&instance, &SingleInstance::activationRequested, &window,
        [&window] { SingleInstance::bringToFront(&window); });

    if (!screenshot) {
        // After the window is up, so the notice has it as its parent.
        QTimer::singleShot(0, &window, [&window] { window.reportDamagedAddressBook(); });
    } else {
        const QString path = args.at(at + 1);
        QTimer::singleShot(500, &window, [&window, path] {
            const QPixmap shot = window.grab(window.rect());
            if (shot.save(path)) {
                QCoreApplication::exit(0);
            } else {
                // A capture that was not written must not look like success.
                std::fprintf(
                    stderr, "pelorin: could not write screenshot to %s\n", qUtf8Printable(path));
                QCoreApplication::exit(1);
            }
        });
    }

    return app.exec();
}

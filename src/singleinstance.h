#pragma once

#include <QObject>

#include <memory>

class QLocalServer;
class QLocalSocket;
class QLockFile;
class QWidget;

// One running copy per user and settings location. The first start claims the
// location: a lock file in the settings folder, and a local server named after
// the user and the location through which later starts reach it. A later
// start on the same location asks the running copy to come to the front and
// then ends. Another settings location (another user, a test's private folder)
// is claimed independently. GUI thread only.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    enum class Claim {
        First, // this copy runs; it hears later starts through activationRequested
        HandedOver, // a running copy took the request to come forward; end with code 0
        NoAnswer, // a running copy holds the location but did not answer in time
    };
    // How long a later start waits for the running copy, which may itself be
    // still starting.
    static constexpr int answerWaitMs = 20000;

    explicit SingleInstance(QObject *parent = nullptr);
    ~SingleInstance() override;

    // Claims the location of the application's default settings object (so the
    // organisation and application names must be set), or hands over to the
    // copy that holds it. Blocks until one of them happens, at most answerWaitMs.
    Claim claim();

    // The lock file and the server name for the current settings location.
    static QString lockPath();
    static QString serverName();

    // Shows the window in front: restored when minimised (keeping maximised or
    // full screen), raised and active.
    static void bringToFront(QWidget *window);

signals:
    // A later start on the same location asked this copy to come forward.
    void activationRequested();

private:
    bool listen();
    void answer();
    void serve(QLocalSocket *socket);
    static bool askRunningCopy();
    // Platform parts (singleinstance_win.cpp, singleinstance_unix.cpp).
    static QString lockFolder();
    static void allowForegroundHandOver();

    std::unique_ptr<QLockFile> lock;
    QLocalServer *server = nullptr;
};

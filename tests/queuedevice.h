#pragma once

#include <QByteArray>
#include <QIODevice>

#include <deque>
#include <functional>

// In-memory transport for measurements: hands queued byte arrays to the client without copying
// them on the way in; reading them out is the one copy a socket makes too.
class QueueDevice : public QIODevice
{
public:
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return queued + QIODevice::bytesAvailable(); }
    // Queues server bytes and emits readyRead at once.
    void feed(const QByteArray &bytes);
    // Called with each message the client writes (it writes every message in one call).
    std::function<void(const char *, qint64)> onWrite;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    std::deque<QByteArray> chunks;
    qint64 frontPos = 0;
    qint64 queued = 0;
};

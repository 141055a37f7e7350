#include "queuedevice.h"

#include <algorithm>
#include <cstring>

void QueueDevice::feed(const QByteArray &bytes)
{
    chunks.push_back(bytes);
    queued += bytes.size();
    emit readyRead();
}

qint64 QueueDevice::readData(char *data, qint64 maxSize)
{
    qint64 done = 0;
    while (done < maxSize && !chunks.empty()) {
        const QByteArray &front = chunks.front();
        const qint64 n = std::min<qint64>(maxSize - done, front.size() - frontPos);
        std::memcpy(data + done, front.constData() + frontPos, size_t(n));
        done += n;
        frontPos += n;
        if (frontPos == front.size()) {
            chunks.pop_front();
            frontPos = 0;
        }
    }
    queued -= done;
    return done;
}

qint64 QueueDevice::writeData(const char *data, qint64 maxSize)
{
    if (onWrite)
        onWrite(data, maxSize);
    return maxSize;
}

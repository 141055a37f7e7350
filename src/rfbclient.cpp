#include "rfbclient.h"

RfbClient::RfbClient(QObject *parent, QIODevice *injected)
    : QObject(parent), transport(injected ? injected : &socket)
{
}

RfbClient::~RfbClient() = default;

void RfbClient::connectToPanel(const QString &, quint16, const QString &) {}
void RfbClient::disconnectFromPanel() {}
void RfbClient::requestFullUpdate() {}
void RfbClient::sendKey(quint32, bool) {}
void RfbClient::sendPointer(quint16, quint16, quint8) {}
const QImage &RfbClient::framebuffer() const { return fb; }
bool RfbClient::isLive() const { return state == Running || state == ReadingRectangles; }
bool RfbClient::retryable() const { return retry; }
qsizetype RfbClient::bufferedBytesForTest() const { return inputBuffer.size() - readPos; }
void RfbClient::fail(const QString &, bool) {}
void RfbClient::processInput() {}
bool RfbClient::parseStep() { return false; }
QByteArray RfbClient::takeBytes(qsizetype) { return {}; }
void RfbClient::beginSecurity(quint32) {}
void RfbClient::sendClientInit() {}
bool RfbClient::allocateFramebuffer(int, int) { return false; }
void RfbClient::sendUpdateRequest(bool) {}

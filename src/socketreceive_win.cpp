#include "socketreceive.h"

#include <winsock2.h>

#include <algorithm>
#include <climits>

qint64 SocketReceive::waiting(qintptr descriptor, const Span *spans, int count)
{
    WSABUF parts[maxSpans];
    const int used = std::clamp(count, 0, maxSpans);
    for (int i = 0; i < used; ++i)
        parts[i] = { ULONG(std::min<qint64>(spans[i].size, INT_MAX)), spans[i].data };
    // Qt keeps its sockets non-blocking, so the call returns at once; a receive also re-arms the
    // socket's read notification, as Qt's own reads do.
    DWORD received = 0;
    DWORD flags = 0;
    if (::WSARecv(SOCKET(descriptor), parts, DWORD(used), &received, &flags, nullptr, nullptr) == 0)
        return received > 0 ? qint64(received) : -1;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

// Winsock accepts no receive low-water mark for stream sockets: every arriving piece wakes.
void SocketReceive::wakeAt(qintptr, qint64)
{
}

qint64 SocketReceive::unread(qintptr descriptor)
{
    u_long count = 0;
    return ::ioctlsocket(SOCKET(descriptor), FIONREAD, &count) == 0 ? qint64(count) : 0;
}

#include "socketreceive.h"

#include <winsock2.h>

#include <algorithm>
#include <climits>

qint64 SocketReceive::waiting(qintptr descriptor, char *data, qint64 size)
{
    // Qt keeps its sockets non-blocking, so recv returns at once; a recv call also re-arms the
    // socket's read notification, as Qt's own reads do.
    const int n = ::recv(SOCKET(descriptor), data, int(std::min<qint64>(size, INT_MAX)), 0);
    if (n > 0)
        return qint64(n);
    if (n == 0)
        return -1;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

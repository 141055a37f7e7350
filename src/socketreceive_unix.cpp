#include "socketreceive.h"

#include <cerrno>

#include <sys/socket.h>
#include <sys/types.h>

qint64 SocketReceive::waiting(qintptr descriptor, char *data, qint64 size)
{
    for (;;) {
        const ssize_t n = ::recv(int(descriptor), data, size_t(size), MSG_DONTWAIT);
        if (n > 0)
            return qint64(n);
        if (n == 0)
            return -1;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

#include "socketreceive.h"

#include <algorithm>
#include <cerrno>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

qint64 SocketReceive::waiting(qintptr descriptor, const Span *spans, int count)
{
    iovec parts[maxSpans];
    const int used = std::clamp(count, 0, maxSpans);
    for (int i = 0; i < used; ++i)
        parts[i] = { spans[i].data, size_t(spans[i].size) };
    msghdr message {};
    message.msg_iov = parts;
    message.msg_iovlen = size_t(used);
    for (;;) {
        const ssize_t n = ::recvmsg(int(descriptor), &message, MSG_DONTWAIT);
        if (n > 0)
            return qint64(n);
        if (n == 0)
            return -1;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

void SocketReceive::wakeAt(qintptr descriptor, qint64 bytes)
{
    // Kernels before 4.18 do not grow the receive buffer to meet the mark: a mark the buffer
    // cannot hold would never be reached, and the reader would sleep until its own timeout.
    // Half of SO_RCVBUF is what the buffer holds of data, the rest being the kernel's overhead.
    // A failure only costs wakeups.
    int amount = int(std::clamp<qint64>(bytes, 1, maxWakeBytes));
    int buffer = 0;
    socklen_t size = sizeof buffer;
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_RCVBUF, &buffer, &size) == 0 && buffer > 0)
        amount = std::min(amount, std::max(buffer / 2, 1));
    ::setsockopt(int(descriptor), SOL_SOCKET, SO_RCVLOWAT, &amount, sizeof amount);
}

qint64 SocketReceive::unread(qintptr descriptor)
{
    int count = 0;
    return ::ioctl(int(descriptor), FIONREAD, &count) == 0 ? qint64(count) : 0;
}

#pragma once

#include <QtGlobal>

// Reads what is waiting on a connected stream socket straight into the caller's memory, without
// blocking and without the toolkit's read buffer. socketreceive_unix.cpp holds the POSIX call,
// socketreceive_win.cpp the winsock one.
namespace SocketReceive {

// One stretch of the caller's memory; a read fills the stretches in order.
struct Span
{
    char *data;
    qint64 size;
};

// At most this many stretches per read: the rows of a narrow rectangle, one system call for all.
constexpr int maxSpans = 256;

// Up to the spans' total (count at most maxSpans) into the spans: the count read, 0 when nothing
// is waiting now, -1 when the stream has ended or failed. The socket's owner reports an end or a
// failure itself when it next looks at the socket, so the caller only stops reading.
qint64 waiting(qintptr descriptor, const Span *spans, int count);

// Asks the system to report the socket readable only once `bytes` are waiting (or the stream
// has ended): a large message then wakes its reader once instead of at every arriving piece.
// 1 restores the usual behaviour. Reads are not affected: they still return what is there.
// Capped at maxWakeBytes and at half of the socket's receive buffer (a mark the buffer cannot hold
// would never be reached); where the system has no such setting (winsock), does nothing.
void wakeAt(qintptr descriptor, qint64 bytes);

constexpr qint64 maxWakeBytes = 4 * 1024 * 1024;

// How many bytes wait to be read now (0 also when that cannot be told).
qint64 unread(qintptr descriptor);

} // namespace SocketReceive

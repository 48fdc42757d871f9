#pragma once

#include <QString>
#include <QtGlobal>

namespace torvane::server {

// The few socket calls of the connection hub, the same on every OS: non-blocking TCP over plain
// descriptors (POSIX file descriptors, Winsock SOCKET handles on Windows), with the failures
// the hub tells apart.
namespace hubsocket {

using Descriptor = qintptr;
inline constexpr Descriptor kInvalid = -1;

enum class Error {
    None,
    WouldBlock,    // nothing to take now, or no room to send
    Interrupted,   // a signal came: simply try again
    Aborted,       // the peer gave up before the connection was accepted
    NoDescriptors, // the process (or system) table of descriptors is full
    NoMemory,      // no buffers for a socket
    AddressInUse,
    AccessDenied,
    Other,
};

// Sets up the socket library once (Winsock); always true on POSIX.
bool Initialize();

// A non-blocking IPv4 listener on all local addresses. kInvalid on failure, with *error and
// *errorText (the system's words) set.
Descriptor Listen(quint16 port, int backlog, Error* error, QString* errorText);
quint16 LocalPort(Descriptor listener);

// A non-blocking accepted connection, or kInvalid with *error; *peer gets the address as text.
Descriptor Accept(Descriptor listener, QString* peer, Error* error);

// Bytes taken (> 0), 0 for an orderly close by the peer, -1 with *error.
qint64 Receive(Descriptor socket, char* buffer, qint64 size, Error* error);
// Bytes sent (>= 0), -1 with *error. Never raises a signal for a closed peer.
qint64 Send(Descriptor socket, const char* data, qint64 size, Error* error);

void Close(Descriptor socket);

} // namespace hubsocket
} // namespace torvane::server

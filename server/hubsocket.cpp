#include "server/hubsocket.h"

#include <algorithm>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace torvane::server::hubsocket {

namespace {
#ifdef Q_OS_WIN
using SocketLength = int;

int LastError() {
    return WSAGetLastError();
}

Error Classify(int code) {
    switch (code) {
    case WSAEWOULDBLOCK:
        return Error::WouldBlock;
    case WSAEINTR:
        return Error::Interrupted;
    case WSAECONNABORTED:
    case WSAECONNRESET:
        return Error::Aborted;
    case WSAEMFILE:
        return Error::NoDescriptors;
    case WSAENOBUFS:
        return Error::NoMemory;
    case WSAEADDRINUSE:
        return Error::AddressInUse;
    case WSAEACCES:
        return Error::AccessDenied;
    default:
        return Error::Other;
    }
}

QString SystemText(int code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, DWORD(code), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    QString result = length ? QString::fromWCharArray(text, int(length)).trimmed()
                            : QStringLiteral("error %1").arg(code);
    LocalFree(text);
    return result;
}

bool MakeNonBlocking(SOCKET socket) {
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}
#else
using SocketLength = socklen_t;

int LastError() {
    return errno;
}

Error Classify(int code) {
    switch (code) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return Error::WouldBlock;
    case EINTR:
        return Error::Interrupted;
    case ECONNABORTED:
        return Error::Aborted;
    case EMFILE:
    case ENFILE:
        return Error::NoDescriptors;
    case ENOBUFS:
    case ENOMEM:
        return Error::NoMemory;
    case EADDRINUSE:
        return Error::AddressInUse;
    case EACCES:
        return Error::AccessDenied;
    default:
        return Error::Other;
    }
}

QString SystemText(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}
#endif

void Fail(Error* error, QString* errorText = nullptr) {
    const int code = LastError();
    if (error)
        *error = Classify(code);
    if (errorText)
        *errorText = SystemText(code);
}

QString AddressText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return QString::fromLatin1(text);
}
} // namespace

bool Initialize() {
#ifdef Q_OS_WIN
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data{};
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
#else
    return true;
#endif
}

Descriptor Listen(quint16 port, int backlog, Error* error, QString* errorText) {
    Initialize();
#ifdef Q_OS_WIN
    const SOCKET socket = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                       WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
        Fail(error, errorText);
        return kInvalid;
    }
    // Exclusive: on Windows SO_REUSEADDR would let a second program take a port in use.
    const BOOL on = TRUE;
    setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
               sizeof on);
    const Descriptor descriptor = static_cast<Descriptor>(socket);
    if (!MakeNonBlocking(socket)) {
        Fail(error, errorText);
        Close(descriptor);
        return kInvalid;
    }
#else
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        Fail(error, errorText);
        return kInvalid;
    }
    const int on = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const Descriptor descriptor = socket;
#endif
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket, backlog) != 0) {
        Fail(error, errorText);
        Close(descriptor);
        return kInvalid;
    }
    if (error)
        *error = Error::None;
    return descriptor;
}

quint16 LocalPort(Descriptor listener) {
    sockaddr_in address{};
    SocketLength length = sizeof address;
    if (getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

Descriptor Accept(Descriptor listener, QString* peer, Error* error) {
    sockaddr_in address{};
    SocketLength length = sizeof address;
#ifdef Q_OS_WIN
    // Accepted sockets inherit the listener's non-blocking mode and socket options.
    const SOCKET socket = ::accept(listener, reinterpret_cast<sockaddr*>(&address), &length);
    if (socket == INVALID_SOCKET) {
        Fail(error);
        return kInvalid;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    const Descriptor descriptor = static_cast<Descriptor>(socket);
#else
    const int descriptor = ::accept4(int(listener), reinterpret_cast<sockaddr*>(&address), &length,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (descriptor < 0) {
        Fail(error);
        return kInvalid;
    }
#endif
    if (peer)
        *peer = AddressText(address);
    return descriptor;
}

qint64 Receive(Descriptor socket, char* buffer, qint64 size, Error* error) {
#ifdef Q_OS_WIN
    const int n = ::recv(socket, buffer, int(std::min<qint64>(size, 1 << 30)), 0);
#else
    const ssize_t n = ::recv(int(socket), buffer, size_t(size), 0);
#endif
    if (n < 0) {
        Fail(error);
        return -1;
    }
    return n;
}

qint64 Send(Descriptor socket, const char* data, qint64 size, Error* error) {
#ifdef Q_OS_WIN
    const int n = ::send(socket, data, int(std::min<qint64>(size, 1 << 30)), 0);
#else
    const ssize_t n = ::send(int(socket), data, size_t(size), MSG_NOSIGNAL);
#endif
    if (n < 0) {
        Fail(error);
        return -1;
    }
    return n;
}

void Close(Descriptor socket) {
    if (socket == kInvalid)
        return;
#ifdef Q_OS_WIN
    ::closesocket(static_cast<SOCKET>(socket));
#else
    ::close(int(socket));
#endif
}

} // namespace torvane::server::hubsocket

#include "client/adapter/windows/switchpipe.h"

#include "client/adapter/windows/iphelperapi.h"

#include <QDeadlineTimer>

#include <string>

namespace torvane::client {

namespace {

class Handle {
public:
    explicit Handle(HANDLE handle = nullptr) : m_handle(handle) {}
    ~Handle() {
        if (m_handle && m_handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_handle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return m_handle; }

private:
    HANDLE m_handle;
};

SwitchReply Unavailable(const QString& why) {
    return {SwitchFailure::ServiceUnavailable,
            QStringLiteral("the switching service is not available: %1").arg(why)};
}

// Waits for an overlapped read or write that was started; NO_ERROR or the reason it failed
// (WAIT_TIMEOUT when it took too long, after which it is cancelled).
DWORD Finish(HANDLE pipe, OVERLAPPED* overlapped, BOOL started, int timeoutMs, DWORD* transferred) {
    if (!started) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING)
            return error;
        if (::WaitForSingleObject(overlapped->hEvent, DWORD(timeoutMs)) != WAIT_OBJECT_0) {
            ::CancelIoEx(pipe, overlapped);
            ::GetOverlappedResult(pipe, overlapped, transferred, TRUE);
            return WAIT_TIMEOUT;
        }
    }
    if (!::GetOverlappedResult(pipe, overlapped, transferred, FALSE))
        return ::GetLastError();
    return NO_ERROR;
}

} // namespace

SwitchReply AskSwitchService(const QString& pipeName, const QByteArray& request,
                             SwitchPipeTimeouts timeouts) {
    const std::wstring name = pipeName.toStdWString();
    const QDeadlineTimer connectDeadline(timeouts.connectMs);
    HANDLE opened = INVALID_HANDLE_VALUE;
    for (;;) {
        // The service may learn who asks, but never act as the caller.
        opened = ::CreateFileW(
            name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (opened != INVALID_HANDLE_VALUE)
            break;
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return Unavailable(QStringLiteral("it is not running (no pipe %1)").arg(pipeName));
        if (error != ERROR_PIPE_BUSY)
            return Unavailable(
                QStringLiteral("pipe %1: %2").arg(pipeName, WindowsErrorText(error)));
        if (connectDeadline.hasExpired())
            return Unavailable(QStringLiteral("it stayed busy"));
        ::WaitNamedPipeW(name.c_str(), DWORD(qMax<qint64>(1, connectDeadline.remainingTime())));
    }
    const Handle pipe(opened);
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!::SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr))
        return Unavailable(WindowsErrorText(::GetLastError()));

    const Handle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event.get())
        return Unavailable(WindowsErrorText(::GetLastError()));
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    DWORD transferred = 0;
    BOOL started =
        ::WriteFile(pipe.get(), request.constData(), DWORD(request.size()), nullptr, &overlapped);
    DWORD error = Finish(pipe.get(), &overlapped, started, timeouts.replyMs, &transferred);
    if (error != NO_ERROR || transferred != DWORD(request.size()))
        return Unavailable(QStringLiteral("sending: %1").arg(WindowsErrorText(error)));

    QByteArray reply(kMaxSwitchReplyBytes + 1, '\0');
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event.get();
    ::ResetEvent(event.get());
    started = ::ReadFile(pipe.get(), reply.data(), DWORD(reply.size()), nullptr, &overlapped);
    error = Finish(pipe.get(), &overlapped, started, timeouts.replyMs, &transferred);
    if (error == WAIT_TIMEOUT)
        return Unavailable(QStringLiteral("no answer within %1 s").arg(timeouts.replyMs / 1000));
    if (error != NO_ERROR)
        return Unavailable(QStringLiteral("reading the answer: %1").arg(WindowsErrorText(error)));
    reply.truncate(int(transferred));
    if (const std::optional<SwitchReply> decoded = DecodeSwitchReply(reply))
        return *decoded;
    return Unavailable(QStringLiteral("its answer was not understood"));
}

} // namespace torvane::client

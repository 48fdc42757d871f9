#include "service/windows/pipeserver.h"

#include "client/adapter/windows/iphelperapi.h"
#include "common/switchrequest.h"

#include <sddl.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace torvane::service {

using client::WindowsErrorText;

namespace {

// Read and write, but not FILE_CREATE_PIPE_INSTANCE (part of generic write): a user must not be
// able to put a pipe of their own behind the service's name.
constexpr wchar_t kAccessSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;IU)";

constexpr int kRequestTimeoutMs = 5000;
constexpr int kHangUpTimeoutMs = 5000;

QString SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text))
        return QString();
    const QString result = QString::fromWCharArray(text);
    ::LocalFree(text);
    return result;
}

QString AccountOf(HANDLE token) {
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0)
        return QString();
    std::vector<quint64> buffer(size / sizeof(quint64) + 1);
    if (!::GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
        return QString();
    const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    wchar_t name[256], domain[256];
    DWORD nameSize = 256, domainSize = 256;
    SID_NAME_USE use;
    if (!::LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        return SidText(sid);
    const QString user = QString::fromWCharArray(name, int(nameSize));
    return domainSize ? QString::fromWCharArray(domain, int(domainSize)) + QLatin1Char('\\') + user
                      : user;
}

} // namespace

SwitchPipeServer::SwitchPipeServer(const QString& pipeName, Handler handler, LogSink log)
    : m_pipeName(pipeName), m_handler(std::move(handler)), m_log(std::move(log)) {
    m_stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_ioEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_log)
        m_log = [](const QString&) {};
}

SwitchPipeServer::~SwitchPipeServer() {
    for (void* handle : {m_pipe, m_stopEvent, m_ioEvent}) {
        if (handle && handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle);
    }
}

QString SwitchPipeServer::AccessSddl() {
    return QString::fromWCharArray(kAccessSddl);
}

bool SwitchPipeServer::open(QString* errorText) {
    if (!m_stopEvent || !m_ioEvent) {
        *errorText = WindowsErrorText(::GetLastError());
        return false;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kAccessSddl, SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        *errorText =
            QStringLiteral("pipe access rules: %1").arg(WindowsErrorText(::GetLastError()));
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    const std::wstring name = m_pipeName.toStdWString();
    // The first instance of the name, or nothing: whoever created the pipe before us is not
    // the service, and callers must not talk to them.
    m_pipe = ::CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
        kMaxSwitchReplyBytes, kMaxSwitchRequestBytes, 0, &attributes);
    const DWORD error = ::GetLastError();
    ::LocalFree(descriptor);
    if (m_pipe == INVALID_HANDLE_VALUE) {
        m_pipe = nullptr;
        *errorText = QStringLiteral("cannot create the pipe %1: %2")
                         .arg(m_pipeName, WindowsErrorText(error));
        return false;
    }
    return true;
}

void SwitchPipeServer::stop() {
    ::SetEvent(m_stopEvent);
}

unsigned long SwitchPipeServer::waitFor(int ok, void* overlappedPointer, int timeoutMs,
                                        unsigned long* transferred) {
    auto overlapped = static_cast<OVERLAPPED*>(overlappedPointer);
    DWORD count = 0;
    if (!ok) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING)
            return error;
        HANDLE events[2] = {m_stopEvent, m_ioEvent};
        const DWORD woke = ::WaitForMultipleObjects(2, events, FALSE, DWORD(timeoutMs));
        if (woke != WAIT_OBJECT_0 + 1) {
            ::CancelIoEx(m_pipe, overlapped);
            ::GetOverlappedResult(m_pipe, overlapped, &count, TRUE);
            return woke == WAIT_OBJECT_0 ? ERROR_OPERATION_ABORTED : WAIT_TIMEOUT;
        }
    }
    if (!::GetOverlappedResult(m_pipe, overlapped, &count, FALSE))
        return ::GetLastError();
    if (transferred)
        *transferred = count;
    return NO_ERROR;
}

void SwitchPipeServer::run() {
    for (;;) {
        if (::WaitForSingleObject(m_stopEvent, 0) == WAIT_OBJECT_0)
            return;
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_ioEvent;
        ::ResetEvent(m_ioEvent);
        const BOOL connected = ::ConnectNamedPipe(m_pipe, &overlapped);
        DWORD error = NO_ERROR;
        if (!connected && ::GetLastError() != ERROR_PIPE_CONNECTED)
            error = waitFor(FALSE, &overlapped, INFINITE, nullptr);
        if (error == ERROR_OPERATION_ABORTED)
            return;
        if (error == NO_ERROR) {
            serveConnectedCaller();
        } else {
            m_log(QStringLiteral("pipe: waiting for a caller failed: %1")
                      .arg(WindowsErrorText(error)));
            // Not a busy loop when the pipe keeps failing.
            ::WaitForSingleObject(m_stopEvent, 200);
        }
        ::DisconnectNamedPipe(m_pipe);
    }
}

void SwitchPipeServer::serveConnectedCaller() {
    // One byte more than a request may have: a longer message arrives cut and is refused as
    // malformed like any other.
    QByteArray request(kMaxSwitchRequestBytes + 1, '\0');
    OVERLAPPED overlapped{};
    overlapped.hEvent = m_ioEvent;
    ::ResetEvent(m_ioEvent);
    DWORD transferred = 0;
    BOOL ok = ::ReadFile(m_pipe, request.data(), DWORD(request.size()), nullptr, &overlapped);
    DWORD error = waitFor(ok, &overlapped, kRequestTimeoutMs, &transferred);
    if (error == ERROR_MORE_DATA) {
        transferred = DWORD(request.size());
        error = NO_ERROR;
    }
    if (error != NO_ERROR) {
        if (error != ERROR_BROKEN_PIPE && error != ERROR_OPERATION_ABORTED) {
            ULONG pid = 0;
            ::GetNamedPipeClientProcessId(m_pipe, &pid);
            m_log(QStringLiteral("pipe: no request from pid %1: %2")
                      .arg(pid)
                      .arg(WindowsErrorText(error)));
        }
        return;
    }
    request.truncate(int(transferred));
    // The system lets a pipe's server learn who the caller is only after reading from it.
    const SwitchCaller caller = identifyCaller();
    const QByteArray reply = m_handler(request, caller);

    overlapped = OVERLAPPED{};
    overlapped.hEvent = m_ioEvent;
    ::ResetEvent(m_ioEvent);
    ok = ::WriteFile(m_pipe, reply.constData(), DWORD(reply.size()), nullptr, &overlapped);
    error = waitFor(ok, &overlapped, kRequestTimeoutMs, &transferred);
    if (error != NO_ERROR) {
        m_log(QStringLiteral("pipe: the reply to %1 was not delivered: %2")
                  .arg(SwitchServiceCore::Describe(caller), WindowsErrorText(error)));
        return;
    }
    // Disconnecting drops what the caller has not read yet: wait until it hangs up. What it
    // still sends (the rest of an oversized message) is read and dropped meanwhile.
    char spare[64];
    const ULONGLONG hangUpDeadline = ::GetTickCount64() + kHangUpTimeoutMs;
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        if (now >= hangUpDeadline)
            break;
        overlapped = OVERLAPPED{};
        overlapped.hEvent = m_ioEvent;
        ::ResetEvent(m_ioEvent);
        ok = ::ReadFile(m_pipe, spare, sizeof spare, nullptr, &overlapped);
        error = waitFor(ok, &overlapped, int(hangUpDeadline - now), &transferred);
        if (error != NO_ERROR && error != ERROR_MORE_DATA)
            break;
    }
}

SwitchCaller SwitchPipeServer::identifyCaller() {
    SwitchCaller caller;
    caller.via = QStringLiteral("pipe");
    ULONG pid = 0;
    if (::GetNamedPipeClientProcessId(m_pipe, &pid))
        caller.pid = pid;
    // The caller allows identification only: enough to read its account, never to act as it.
    if (::ImpersonateNamedPipeClient(m_pipe)) {
        HANDLE token = nullptr;
        if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
            caller.account = AccountOf(token);
            ::CloseHandle(token);
        }
        // Going on as the caller would be worse than stopping.
        if (!::RevertToSelf())
            std::abort();
    }
    return caller;
}

} // namespace torvane::service

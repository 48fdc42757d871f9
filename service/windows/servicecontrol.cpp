#include "service/windows/servicecontrol.h"

#include "client/adapter/windows/iphelperapi.h"
#include "service/windows/servicelog.h"

#include <QThread>

#include <string>

namespace torvane::service {

using client::WindowsErrorText;

namespace {

constexpr wchar_t kDescription[] =
    L"Changes the default gateway, DNS servers and address of this machine when a user of the "
    L"Torvane Client switches lines, and logs every change.";

class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle) : m_handle(handle) {}
    ~ScHandle() {
        if (m_handle)
            ::CloseServiceHandle(m_handle);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    SC_HANDLE m_handle;
};

std::wstring QuotedExecutablePath() {
    wchar_t path[MAX_PATH * 2];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, DWORD(std::size(path)));
    return L"\"" + std::wstring(path, length) + L"\"";
}

bool Failed(QString* message, const QString& what) {
    *message = what + QStringLiteral(": ") + WindowsErrorText(::GetLastError());
    return false;
}

// State shared with the control manager's callbacks, which take no context of ours.
struct RunningService {
    const ServiceBody* body = nullptr;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    SERVICE_STATUS status{};
    QString error;
};
RunningService g_service;

void Report(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHintMs = 0) {
    g_service.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_service.status.dwCurrentState = state;
    g_service.status.dwWin32ExitCode = exitCode;
    g_service.status.dwWaitHint = waitHintMs;
    g_service.status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        g_service.status.dwCheckPoint = 0;
    else
        ++g_service.status.dwCheckPoint;
    ::SetServiceStatus(g_service.statusHandle, &g_service.status);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Report(SERVICE_STOP_PENDING, NO_ERROR, 5000);
        g_service.body->stop();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    g_service.statusHandle =
        ::RegisterServiceCtrlHandlerExW(kServiceName, &ControlHandler, nullptr);
    if (!g_service.statusHandle)
        return;
    Report(SERVICE_START_PENDING, NO_ERROR, 5000);
    QString error;
    if (!g_service.body->open(&error)) {
        g_service.error = error;
        qCCritical(lcControl).noquote() << "the service cannot start:" << error;
        Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR);
        return;
    }
    Report(SERVICE_RUNNING);
    g_service.body->run();
    Report(SERVICE_STOPPED);
}

bool WaitUntilStopped(SC_HANDLE service) {
    SERVICE_STATUS status{};
    for (int i = 0; i < 100; ++i) {
        if (!::QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED)
            return true;
        QThread::msleep(100);
    }
    return false;
}

} // namespace

bool InstallService(QString* message) {
    const ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager)
        return Failed(message, QStringLiteral("cannot open the service control manager"));
    const std::wstring path = QuotedExecutablePath();
    SC_HANDLE handle = ::CreateServiceW(
        manager.get(), kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, path.c_str(), nullptr,
        nullptr, nullptr, nullptr /* LocalSystem */, nullptr);
    const bool existed = !handle && ::GetLastError() == ERROR_SERVICE_EXISTS;
    if (existed)
        handle = ::OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS);
    const ScHandle service(handle);
    if (!service)
        return Failed(message, QStringLiteral("cannot install the service"));
    // Installed before, perhaps from another folder: point it here.
    if (existed &&
        !::ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr,
                                nullptr, nullptr, kServiceDisplayName))
        return Failed(message, QStringLiteral("cannot update the installed service"));

    SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kDescription)};
    ::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    SC_ACTION restart[3] = {
        {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = 24 * 3600;
    failure.cActions = 3;
    failure.lpsaActions = restart;
    ::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure);

    if (!::StartServiceW(service.get(), 0, nullptr) &&
        ::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        return Failed(message, QStringLiteral("installed, but the service did not start"));
    *message = QStringLiteral("the service %1 is installed and running")
                   .arg(QString::fromWCharArray(kServiceName));
    return true;
}

bool UninstallService(QString* message) {
    const ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return Failed(message, QStringLiteral("cannot open the service control manager"));
    const ScHandle service(
        ::OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
        if (::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
            *message = QStringLiteral("the service is not installed");
            return true;
        }
        return Failed(message, QStringLiteral("cannot open the service"));
    }
    SERVICE_STATUS status{};
    if (::ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
        WaitUntilStopped(service.get());
    if (!::DeleteService(service.get()) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        return Failed(message, QStringLiteral("cannot remove the service"));
    *message =
        QStringLiteral("the service %1 is removed").arg(QString::fromWCharArray(kServiceName));
    return true;
}

bool RunAsService(const ServiceBody& body, QString* errorText) {
    g_service.body = &body;
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), &ServiceMain},
                                    {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) {
        const DWORD error = ::GetLastError();
        *errorText = error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
                         ? QStringLiteral("not started by the service control manager (use "
                                          "--install, or --console to run it here)")
                         : WindowsErrorText(error);
        return false;
    }
    if (!g_service.error.isEmpty()) {
        *errorText = g_service.error;
        return false;
    }
    return true;
}

} // namespace torvane::service

#pragma once

#include <QString>

#include <functional>

namespace torvane::service {

// The service's name for the service control manager, and what it shows.
inline constexpr wchar_t kServiceName[] = L"TorvaneSwitch";
inline constexpr wchar_t kServiceDisplayName[] = L"Torvane line switching";

// Registers this executable as a LocalSystem service that starts with the machine, restarts
// after a crash, and starts it now. Run again after the files moved, it points the service at
// the new place. False with the reason (e.g. not run as administrator).
bool InstallService(QString* message);
// Stops the service and removes it; a service that is not installed is no error.
bool UninstallService(QString* message);

// What the service does while it runs: serve until stop is called (from the control manager's
// thread), then return. open() is called first; false with a reason makes the start fail.
struct ServiceBody {
    std::function<bool(QString* errorText)> open;
    std::function<void()> run;
    std::function<void()> stop;
};

// Hands the process to the service control manager, which calls the body on a thread of its
// own; returns when the service has stopped. False when the process was not started as a
// service (run from a console: use --console there).
bool RunAsService(const ServiceBody& body, QString* errorText);

} // namespace torvane::service

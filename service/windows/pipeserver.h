#pragma once

#include "service/core/switchservicecore.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>

namespace torvane::service {

// The switching service's local pipe: message mode, one instance, so callers are served one at a
// time (and switches never overlap). Each connection carries one request and gets one reply;
// then the service waits for the caller to hang up and takes the next. A caller that sends
// nothing, or never hangs up, is dropped after a few seconds.
//
// Who may connect is the pipe's ACL: the machine's interactive users (local and remote desktop
// sessions) may read and write but not create instances of it; SYSTEM and the administrators
// have full control; callers from the network are refused. The caller's account and process id
// come from the pipe, for the log and the rate limit.
class SwitchPipeServer {
public:
    using Handler = std::function<QByteArray(QByteArrayView request, const SwitchCaller& caller)>;
    using LogSink = std::function<void(const QString& line)>;

    SwitchPipeServer(const QString& pipeName, Handler handler, LogSink log);
    ~SwitchPipeServer();
    SwitchPipeServer(const SwitchPipeServer&) = delete;
    SwitchPipeServer& operator=(const SwitchPipeServer&) = delete;

    // Creates the pipe; false with the reason when it cannot (another process holds the name).
    bool open(QString* errorText);
    // Serves callers until stop(); on the calling thread.
    void run();
    // From any thread (a service control, Ctrl+C in the console).
    void stop();

    // The security descriptor of the pipe, in SDDL.
    static QString AccessSddl();

private:
    void serveConnectedCaller();
    SwitchCaller identifyCaller();
    // Starts an overlapped read or write and waits for it, for stop() or the time-out; the
    // system's error, WAIT_TIMEOUT, or ERROR_OPERATION_ABORTED when stopped.
    unsigned long waitFor(int ok, void* overlapped, int timeoutMs, unsigned long* transferred);

    const QString m_pipeName;
    Handler m_handler;
    LogSink m_log;
    void* m_pipe = nullptr;
    void* m_stopEvent = nullptr;
    void* m_ioEvent = nullptr;
};

} // namespace torvane::service

#include "client/adapter/windows/iphelperapi.h"
#include "client/adapter/windows/switchpipe.h"
#include "common/logging.h"
#include "service/core/switchservicecore.h"
#include "service/windows/iphelperapplier.h"
#include "service/windows/pipeserver.h"
#include "service/windows/servicecontrol.h"
#include "service/windows/servicelog.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <atomic>

using namespace torvane;
using namespace torvane::service;

namespace {

std::atomic<SwitchPipeServer*> g_consoleServer{nullptr};

BOOL WINAPI OnConsoleControl(DWORD) {
    if (SwitchPipeServer* server = g_consoleServer.load())
        server->stop();
    return TRUE;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("TorvaneSwitch"));
    InstallMessageFormat();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The Torvane switching service: changes this machine's gateway, DNS servers and address "
        "when a Client asks over a local pipe."));
    parser.addHelpOption();
    const QCommandLineOption install(QStringLiteral("install"),
                                     QStringLiteral("Install and start the service."));
    const QCommandLineOption uninstall(QStringLiteral("uninstall"),
                                       QStringLiteral("Stop and remove the service."));
    const QCommandLineOption console(QStringLiteral("console"),
                                     QStringLiteral("Serve from this console until Ctrl+C."));
    const QCommandLineOption pipe(
        QStringLiteral("pipe"), QStringLiteral("The pipe to serve (console mode only)."),
        QStringLiteral("name"), QString::fromWCharArray(client::kSwitchPipeName));
    const QCommandLineOption logFile(QStringLiteral("log"),
                                     QStringLiteral("The log file (default beside the service)."),
                                     QStringLiteral("file"));
    parser.addOptions({install, uninstall, console, pipe, logFile});
    parser.process(app);

    if (parser.isSet(install) || parser.isSet(uninstall)) {
        QString message;
        const bool ok =
            parser.isSet(install) ? InstallService(&message) : UninstallService(&message);
        if (ok)
            qCInfo(lcControl).noquote() << message;
        else
            qCCritical(lcControl).noquote() << message;
        return ok ? 0 : 1;
    }

    ServiceLog log(parser.isSet(logFile) ? parser.value(logFile) : ServiceLog::DefaultPath());
    const auto logLine = [&log](const QString& line) { log.write(line); };
    IpHelperApplier applier(client::SystemIpHelperApi());
    SwitchServiceCore core(applier, logLine);
    // Whoever reached the pipe passed its ACL, which admits exactly the machine's interactive
    // users: that is the authority check on Windows. The core still checks shape, rate and
    // values of every request.
    const QString pipeName = parser.isSet(console)
                                 ? parser.value(pipe)
                                 : QString::fromWCharArray(client::kSwitchPipeName);
    SwitchPipeServer server(
        pipeName,
        [&core](QByteArrayView request, const SwitchCaller& caller) {
            return core.handle(request, caller, true);
        },
        logLine);

    if (parser.isSet(console)) {
        QString error;
        if (!server.open(&error)) {
            log.write(QStringLiteral("not started: %1").arg(error));
            return 1;
        }
        g_consoleServer = &server;
        ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
        log.write(QStringLiteral("serving %1 from the console").arg(pipeName));
        server.run();
        g_consoleServer = nullptr;
        log.write(QStringLiteral("stopped"));
        return 0;
    }

    ServiceBody body;
    body.open = [&](QString* error) {
        if (!server.open(error))
            return false;
        log.write(QStringLiteral("started, serving %1").arg(pipeName));
        return true;
    };
    body.run = [&] {
        server.run();
        log.write(QStringLiteral("stopped"));
    };
    body.stop = [&] {
        server.stop();
        log.write(QStringLiteral("stopping"));
    };
    QString error;
    if (!RunAsService(body, &error)) {
        qCCritical(lcControl).noquote() << error;
        return 1;
    }
    return 0;
}

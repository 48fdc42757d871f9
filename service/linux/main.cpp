#include "common/logging.h"
#include "service/core/switchservicecore.h"
#include "service/linux/linuxapplier.h"
#include "service/linux/switchbusservice.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>

#include <syslog.h>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvane-switchd"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TORVANE_VERSION));
    torvane::InstallMessageFormat();

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Switches this machine's default gateway and DNS servers for the Torvane "
                       "Client, for callers polkit allows (action org.torvane.switch-line)."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption resolverOption(
        QStringLiteral("resolver-file"),
        QStringLiteral("The resolver file written when systemd-resolved does not run."),
        QStringLiteral("path"), QStringLiteral("/etc/resolv.conf"));
    parser.addOption(resolverOption);
    const QCommandLineOption idleOption(
        QStringLiteral("idle-exit"),
        QStringLiteral("Seconds without a call before the service ends (0: never); the bus "
                       "starts it again when it is next called."),
        QStringLiteral("seconds"), QStringLiteral("300"));
    parser.addOption(idleOption);
    parser.process(app);

    // Every decision goes to the journal (or syslog). Started by hand, or anywhere the error
    // output is not already the journal, a copy goes to the error output too.
    const bool stderrIsJournal = qEnvironmentVariableIsSet("JOURNAL_STREAM");
    openlog("torvane-switchd", LOG_PID | (stderrIsJournal ? 0 : LOG_PERROR), LOG_DAEMON);

    QDBusConnection bus = QDBusConnection::systemBus();
    torvane::service::LinuxApplier applier(bus, parser.value(resolverOption));
    const auto log = [](const QString& line) {
        syslog(LOG_NOTICE, "%s", line.toUtf8().constData());
    };
    torvane::service::SwitchServiceCore core(applier, log);
    torvane::service::SwitchBusService service(core, log, bus);
    QString errorText;
    if (!service.publish(&errorText)) {
        syslog(LOG_ERR, "not started: %s", errorText.toUtf8().constData());
        return 1;
    }
    service.exitWhenIdle(parser.value(idleOption).toInt() * 1000);
    QObject::connect(&service, &torvane::service::SwitchBusService::idle, &app,
                     &QCoreApplication::quit);
    syslog(LOG_INFO, "ready on the system bus as %s; DNS servers go to %s",
           torvane::service::kBusName, applier.dnsWay().toUtf8().constData());
    return app.exec();
}

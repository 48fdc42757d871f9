#include "tests/e2e/adapter/adapternetns.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <csignal>
#include <unistd.h>

namespace {

constexpr int kTimeoutMs = 30000;

int Run(const QString& program, const QStringList& args, QByteArray* out, QByteArray* err) {
    QProcess process;
    process.start(program, args);
    if (!process.waitForStarted(kTimeoutMs))
        return -1;
    process.closeWriteChannel();
    if (!process.waitForFinished(kTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (out)
        *out = process.readAllStandardOutput();
    if (err)
        *err = process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace

AdapterNetns::AdapterNetns(const QString& tag, const QByteArray& resolverContent)
    : m_name(QStringLiteral("tvad-%1-%2").arg(::getpid()).arg(tag)) {
    // The resolver file must exist before the first `ip netns exec`, or the host's is used.
    const QString folder = QStringLiteral("/etc/netns/") + m_name;
    QFile file(folder + QStringLiteral("/resolv.conf"));
    if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly) ||
        file.write(resolverContent) != resolverContent.size()) {
        m_lastError = QStringLiteral("cannot create %1").arg(file.fileName());
        return;
    }
    file.close();
    QByteArray err;
    if (Run(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("add"), m_name}, nullptr,
            &err) != 0) {
        m_lastError =
            QStringLiteral("ip netns add %1: %2").arg(m_name, QString::fromLocal8Bit(err));
        return;
    }
    m_valid = ip({QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"),
                  QStringLiteral("up")});
}

AdapterNetns::~AdapterNetns() {
    Run(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("del"), m_name}, nullptr,
        nullptr);
    QDir(QStringLiteral("/etc/netns/") + m_name).removeRecursively();
}

QString AdapterNetns::resolverPath() const {
    return QStringLiteral("/etc/netns/%1/resolv.conf").arg(m_name);
}

QByteArray AdapterNetns::resolverContent() const {
    QFile file(resolverPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool AdapterNetns::ip(const QStringList& args, QString* output) {
    QByteArray out, err;
    const int rc =
        Run(QStringLiteral("ip"), QStringList{QStringLiteral("-n"), m_name} + args, &out, &err);
    if (output)
        *output = QString::fromLocal8Bit(out);
    if (rc != 0) {
        m_lastError = QStringLiteral("ip -n %1 %2: %3")
                          .arg(m_name, args.join(QLatin1Char(' ')), QString::fromLocal8Bit(err));
        return false;
    }
    return true;
}

int AdapterNetns::exec(const QStringList& command, QByteArray* out, QByteArray* err) {
    return Run(QStringLiteral("ip"),
               QStringList{QStringLiteral("netns"), QStringLiteral("exec"), m_name} + command, out,
               err);
}

void AdapterNetns::RemoveStale() {
    QByteArray out;
    if (Run(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("list")}, &out,
            nullptr) != 0)
        return;
    static const QRegularExpression pattern(QStringLiteral("^(tvad-(\\d+)-\\S+)"),
                                            QRegularExpression::MultilineOption);
    auto it = pattern.globalMatch(QString::fromLocal8Bit(out));
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const pid_t pid = match.captured(2).toInt();
        if (pid == ::getpid() || ::kill(pid, 0) == 0)
            continue;
        Run(QStringLiteral("ip"),
            {QStringLiteral("netns"), QStringLiteral("del"), match.captured(1)}, nullptr, nullptr);
        QDir(QStringLiteral("/etc/netns/") + match.captured(1)).removeRecursively();
    }
}

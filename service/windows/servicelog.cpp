#include "service/windows/servicelog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>

namespace torvane::service {

Q_LOGGING_CATEGORY(lcPipe, "torvane.service.pipe")
Q_LOGGING_CATEGORY(lcControl, "torvane.service.control")

namespace {
constexpr qint64 kMaxLogBytes = 1024 * 1024;
}

ServiceLog::ServiceLog(const QString& path) : m_path(path) {}

QString ServiceLog::DefaultPath() {
    return QDir(QCoreApplication::applicationDirPath())
        .filePath(QStringLiteral("TorvaneSwitch.log"));
}

void ServiceLog::write(const QString& line) {
    qCInfo(lcPipe).noquote() << line;
    const std::lock_guard lock(m_mutex);
    QFile file(m_path);
    if (file.size() > kMaxLogBytes) {
        QFile::remove(m_path + QStringLiteral(".1"));
        QFile::rename(m_path, m_path + QStringLiteral(".1"));
    }
    if (!file.open(QIODevice::Append | QIODevice::Text)) {
        qCWarning(lcPipe).noquote() << "cannot write the log" << m_path << file.errorString();
        return;
    }
    const QString stamped =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) + line +
        QLatin1Char('\n');
    file.write(stamped.toUtf8());
}

} // namespace torvane::service

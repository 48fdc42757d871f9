#include "server/auditlog.h"

#include "server/serverlogging.h"

#include <QFile>
#include <QFileInfo>

namespace torvane::server {

namespace {
// A log that cannot be written keeps at most this many lines in memory.
constexpr int kMaxPendingLines = 100'000;

QStringList LastLines(const QString& path, int maxLines, qint64 maxBytes) {
    QFile file(path);
    if (maxLines <= 0 || !file.open(QIODevice::ReadOnly))
        return {};
    // Only the end of the file is read: the lines asked for fit in it.
    const qint64 start = std::max<qint64>(0, file.size() - maxBytes);
    file.seek(start);
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (start > 0 && !lines.isEmpty())
        lines.removeFirst(); // cut in the middle
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    if (lines.size() > maxLines)
        lines = lines.mid(lines.size() - maxLines);
    return lines;
}
} // namespace

AuditLog::AuditLog(const QString& path, qint64 maxBytes, QObject* parent)
    : QObject(parent), m_path(path), m_maxBytes(std::max<qint64>(maxBytes, 1024)) {
    m_writeTimer.setSingleShot(true);
    m_writeTimer.setInterval(kWriteDelayMs);
    connect(&m_writeTimer, &QTimer::timeout, this, [this] { flush(); });
}

AuditLog::~AuditLog() {
    flush();
}

void AuditLog::append(const QString& line) {
    QString text = line;
    text.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    if (m_pending.size() >= kMaxPendingLines)
        m_pending.removeFirst();
    m_pending.append(text);
    if (!m_writeTimer.isActive())
        m_writeTimer.start();
    emit appended();
}

bool AuditLog::flush() {
    m_writeTimer.stop();
    if (m_pending.isEmpty())
        return true;
    if (QFileInfo(m_path).size() >= m_maxBytes) {
        QFile::remove(rotatedPath());
        if (!QFile::rename(m_path, rotatedPath()))
            qCWarning(lcAudit) << "could not rotate" << m_path;
    }
    QFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        qCWarning(lcAudit) << "could not write" << m_path << "-" << file.errorString();
        m_writeTimer.start(5000); // try again later; nothing is lost meanwhile
        return false;
    }
    const QByteArray bytes = (m_pending.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
    if (file.write(bytes) != bytes.size()) {
        qCWarning(lcAudit) << "could not write" << m_path << "-" << file.errorString();
        return false;
    }
    m_pending.clear();
    return true;
}

QStringList AuditLog::tail(int maxLines) const {
    // A line is short: 256 bytes per line asked for is plenty.
    const qint64 window = qint64(std::max(maxLines, 1)) * 256;
    QStringList lines = LastLines(m_path, maxLines, window);
    if (lines.size() < maxLines)
        lines = LastLines(rotatedPath(), maxLines - int(lines.size()), window) + lines;
    lines += m_pending;
    if (lines.size() > maxLines)
        lines = lines.mid(lines.size() - maxLines);
    return lines;
}

} // namespace torvane::server

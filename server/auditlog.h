#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

namespace torvane::server {

// The record of every switch command the Server sent and how it ended, one line per command,
// appended to a UTF-8 text file beside the Server. Lines are collected and written together
// (a bulk command makes thousands at once); when the file passes maxBytes it becomes
// "<name>.1" (replacing an older one) and a new file starts.
class AuditLog : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kDefaultMaxBytes = 1024 * 1024;
    static constexpr int kWriteDelayMs = 200;

    explicit AuditLog(const QString& path, qint64 maxBytes = kDefaultMaxBytes,
                      QObject* parent = nullptr);
    ~AuditLog() override; // writes what is still pending

    QString path() const { return m_path; }
    QString rotatedPath() const { return m_path + QStringLiteral(".1"); }

    // One line (a line break inside is replaced); written within kWriteDelayMs.
    void append(const QString& line);
    // Writes pending lines now; false when the file could not be written (the lines are kept
    // for the next attempt, up to a bound).
    bool flush();
    // The last maxLines lines, the rotated file's included, oldest first (pending ones too).
    QStringList tail(int maxLines) const;

signals:
    void appended();

private:
    QString m_path;
    qint64 m_maxBytes;
    QStringList m_pending;
    QTimer m_writeTimer;
};

} // namespace torvane::server

#pragma once

#include <QLoggingCategory>
#include <QString>

#include <mutex>

namespace torvane::service {

// The switching service's logging areas ("torvane.service.<area>").
Q_DECLARE_LOGGING_CATEGORY(lcPipe)    // torvane.service.pipe: callers, requests, replies
Q_DECLARE_LOGGING_CATEGORY(lcControl) // torvane.service.control: install, start, stop

// The service's record of every decision: a text file beside the service (only SYSTEM and the
// administrators may write there), one line each, with the local time. At 1 MiB the file moves
// to NAME.1 and a new one begins, so two files at most ever stay. Every line also goes to the
// logging area, which the console mode shows.
class ServiceLog {
public:
    explicit ServiceLog(const QString& path);

    void write(const QString& line);
    QString path() const { return m_path; }

    // TorvaneSwitch.log beside the executable.
    static QString DefaultPath();

private:
    const QString m_path;
    std::mutex m_mutex;
};

} // namespace torvane::service

#pragma once

#include <QObject>
#include <QString>

class QFileSystemWatcher;
class QSocketNotifier;

namespace torvane::client {

// Tells when the adapter's settings may have changed behind the Client's back: an rtnetlink
// socket subscribed to IPv4 address and route events, and the resolver file (watched through
// its folder too, since a new file is renamed over the old one). It says only "look again":
// the caller re-inspects and compares, so a burst of events costs one look.
class RtnlWatcher : public QObject {
    Q_OBJECT
public:
    explicit RtnlWatcher(QObject* parent = nullptr);
    ~RtnlWatcher() override;

    void watchFile(const QString& path);
    bool start(QString* errorText);

signals:
    void changed();

private:
    void drain();
    void onPathChanged();

    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    QFileSystemWatcher* m_files = nullptr;
    QString m_file;
};

} // namespace torvane::client

#pragma once

#include "server/hubeventbackend.h"

class QSocketNotifier;

namespace torvane::server {

// Linux: one epoll set holds every descriptor and a single notifier watches the set itself, so
// the GUI loop has one descriptor to poll however many Clients are connected.
class EpollEventBackend : public HubEventBackend {
    Q_OBJECT
public:
    explicit EpollEventBackend(QObject* parent = nullptr);
    ~EpollEventBackend() override;

    QString name() const override { return QStringLiteral("epoll"); }
    bool isValid() const override { return m_epollFd >= 0; }
    bool watch(qintptr descriptor, quint32 interest) override;
    bool change(qintptr descriptor, quint32 interest) override;
    void unwatch(qintptr descriptor) override;
    int collect(Event* events, int max) override;

private:
    bool control(int operation, qintptr descriptor, quint32 interest);

    int m_epollFd = -1;
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace torvane::server

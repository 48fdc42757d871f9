#pragma once

#include "server/hubeventbackend.h"

#include <QHash>

#include <vector>

class QSocketNotifier;

namespace torvane::server {

// Portable: the event loop's own notifiers say that a descriptor may be ready, and one poll()
// over just those descriptors (WSAPoll on Windows) tells what each is ready for. It costs a
// notifier per socket, which the loop checks on every pass, so it suits platforms without a
// scalable readiness set and tests; Linux uses epoll.
class PollEventBackend : public HubEventBackend {
    Q_OBJECT
public:
    explicit PollEventBackend(QObject* parent = nullptr);
    ~PollEventBackend() override;

    QString name() const override { return QStringLiteral("poll"); }
    bool isValid() const override { return true; }
    bool watch(qintptr descriptor, quint32 interest) override;
    bool change(qintptr descriptor, quint32 interest) override;
    void unwatch(qintptr descriptor) override;
    int collect(Event* events, int max) override;

    int watchedCount() const { return static_cast<int>(m_watches.size()); }

private:
    struct Watch {
        QSocketNotifier* read = nullptr;
        QSocketNotifier* write = nullptr;
        quint32 interest = 0;
        bool pending = false; // listed in m_pending
    };

    void applyInterest(qintptr descriptor, Watch& watch);
    void markPending(qintptr descriptor);
    void postReady();

    QHash<qintptr, Watch> m_watches;
    std::vector<qintptr> m_pending; // descriptors a notifier fired for, oldest first
    bool m_readyPosted = false;
};

} // namespace torvane::server

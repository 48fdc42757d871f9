#pragma once

#include "server/hubeventbackend.h"

#include <QHash>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace torvane::server {

// One poll set over every watched socket, waited on by a thread of its own (WSAPoll on Windows,
// poll() elsewhere). The GUI loop sees a single queued ready() per batch and takes the batch in
// collect(); the thread polls again only once the batch is taken, so a socket that stays ready
// is reported again (level-triggered) without the thread spinning.
//
// Windows has no epoll; its completion ports would need a read buffer posted on every Client,
// and the hub reads and writes directly when a socket is ready. A poll set costs one pass over
// the sockets per batch, which at a few thousand sockets is well below a millisecond, in a thread
// that never touches the window.
//
// A socket unwatched (and closed) while the thread waits may still appear in that batch; every
// entry carries the generation of its watch, and collect() drops the ones that no longer match.
class ThreadPollEventBackend : public HubEventBackend {
    Q_OBJECT
public:
    explicit ThreadPollEventBackend(QObject* parent = nullptr);
    ~ThreadPollEventBackend() override;

    QString name() const override { return QStringLiteral("pollthread"); }
    bool isValid() const override { return m_valid; }
    bool watch(qintptr descriptor, quint32 interest) override;
    bool change(qintptr descriptor, quint32 interest) override;
    void unwatch(qintptr descriptor) override;
    int collect(Event* events, int max) override;

private:
    struct Watch {
        quint32 interest = 0;
        quint64 generation = 0;
    };
    struct Found {
        qintptr descriptor;
        quint64 generation;
        quint32 readiness;
    };

    void run();
    void wake();      // the poll thread returns from its wait and rebuilds the set
    void postReady(); // one queued ready() at a time
    bool openWakePair();
    void closeWakePair();

    bool m_valid = false;
    qintptr m_wakeRead = -1; // the thread polls this too; a byte on it ends the wait
    qintptr m_wakeWrite = -1;

    std::mutex m_mutex;                  // guards everything below
    std::condition_variable m_taken;     // the batch was taken (or stop)
    std::condition_variable m_pollEnded; // a wait ended
    bool m_polling = false;              // the thread is in (or entering) a wait
    quint64 m_pollRounds = 0;            // waits ended so far
    QHash<qintptr, Watch> m_watches;
    quint64 m_nextGeneration = 0;
    bool m_dirty = true;        // m_watches changed since the thread built its set
    bool m_wakePending = false; // a wake byte is on its way
    std::vector<Found> m_batch; // found by the thread, not yet taken
    size_t m_batchTaken = 0;
    bool m_stop = false;
    bool m_readyPosted = false; // GUI thread only

    std::thread m_thread;
};

} // namespace torvane::server

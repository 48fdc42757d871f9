#include "server/polleventbackend.h"

#include <QSocketNotifier>
#include <QVarLengthArray>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <cerrno>
#include <poll.h>
#endif

namespace torvane::server {

namespace {
#ifdef Q_OS_WIN
using PollRecord = WSAPOLLFD;
using PollDescriptor = SOCKET;
int PollNow(PollRecord* records, int count) {
    return WSAPoll(records, static_cast<ULONG>(count), 0);
}
#else
using PollRecord = pollfd;
using PollDescriptor = int;
int PollNow(PollRecord* records, int count) {
    int result = 0;
    do {
        result = ::poll(records, static_cast<nfds_t>(count), 0);
    } while (result < 0 && errno == EINTR);
    return result;
}
#endif
} // namespace

PollEventBackend::PollEventBackend(QObject* parent) : HubEventBackend(parent) {}

PollEventBackend::~PollEventBackend() {
    for (Watch& watch : m_watches) {
        delete watch.read;
        delete watch.write;
    }
}

bool PollEventBackend::watch(qintptr descriptor, quint32 interest) {
    if (descriptor < 0 || m_watches.contains(descriptor))
        return false;
    Watch& watch = m_watches[descriptor];
    watch.interest = interest;
    applyInterest(descriptor, watch);
    return true;
}

bool PollEventBackend::change(qintptr descriptor, quint32 interest) {
    const auto it = m_watches.find(descriptor);
    if (it == m_watches.end())
        return false;
    it->interest = interest;
    applyInterest(descriptor, *it);
    return true;
}

void PollEventBackend::applyInterest(qintptr descriptor, Watch& watch) {
    // Notifiers are made when first needed and then only switched on and off: a Client asks for
    // write readiness only while its queue holds bytes.
    const auto setNotifier = [&](QSocketNotifier*& notifier, QSocketNotifier::Type type, bool on) {
        if (!notifier && !on)
            return;
        if (!notifier) {
            notifier = new QSocketNotifier(descriptor, type, this);
            connect(notifier, &QSocketNotifier::activated, this,
                    [this, descriptor] { markPending(descriptor); });
        }
        notifier->setEnabled(on);
    };
    setNotifier(watch.read, QSocketNotifier::Read, watch.interest & WantRead);
    setNotifier(watch.write, QSocketNotifier::Write, watch.interest & WantWrite);
}

void PollEventBackend::unwatch(qintptr descriptor) {
    const auto it = m_watches.find(descriptor);
    if (it == m_watches.end())
        return;
    // The hub calls this from its own handler, never from a notifier's activation, so the
    // notifiers can go at once (before the descriptor is closed and perhaps reused).
    delete it->read;
    delete it->write;
    m_watches.erase(it);
    // A stale entry in m_pending is skipped by collect().
}

void PollEventBackend::markPending(qintptr descriptor) {
    const auto it = m_watches.find(descriptor);
    if (it == m_watches.end())
        return;
    if (!it->pending) {
        it->pending = true;
        m_pending.push_back(descriptor);
    }
    postReady();
}

void PollEventBackend::postReady() {
    // All notifiers that fire in one loop pass make one ready(), emitted from the loop.
    if (m_readyPosted)
        return;
    m_readyPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_readyPosted = false;
            if (!m_pending.empty())
                emit ready();
        },
        Qt::QueuedConnection);
}

int PollEventBackend::collect(Event* events, int max) {
    if (max <= 0)
        return 0;
    QVarLengthArray<PollRecord, 512> records;
    size_t taken = 0;
    for (; taken < m_pending.size() && records.size() < max; ++taken) {
        const qintptr descriptor = m_pending[taken];
        const auto it = m_watches.find(descriptor);
        if (it == m_watches.end() || !it->pending)
            continue; // unwatched (and perhaps watched again) since the notifier fired
        it->pending = false;
        PollRecord record{};
        record.fd = static_cast<PollDescriptor>(descriptor);
        if (it->interest & WantRead)
            record.events |= POLLIN;
        if (it->interest & WantWrite)
            record.events |= POLLOUT;
        if (record.events != 0)
            records.append(record);
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(taken));
    if (!m_pending.empty())
        postReady(); // the rest on the next pass, after the window had its turn

    if (records.isEmpty() || PollNow(records.data(), static_cast<int>(records.size())) <= 0)
        return 0;
    int count = 0;
    for (const PollRecord& record : records) {
        if (record.revents == 0)
            continue;
        quint32 readiness = 0;
        if (record.revents & POLLIN)
            readiness |= Readable;
        if (record.revents & POLLOUT)
            readiness |= Writable;
        if (record.revents & POLLHUP)
            readiness |= PeerClosed;
        if (record.revents & (POLLERR | POLLNVAL))
            readiness |= Failed;
        events[count++] = Event{static_cast<qintptr>(record.fd), readiness};
    }
    return count;
}

} // namespace torvane::server

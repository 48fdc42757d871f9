#include "server/threadpolleventbackend.h"

#include "server/hubsocket.h"
#include "server/serverlogging.h"

#include <chrono>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace torvane::server {

namespace {
#ifdef Q_OS_WIN
using PollRecord = WSAPOLLFD;
using PollDescriptor = SOCKET;

int PollWait(std::vector<PollRecord>& records) {
    return WSAPoll(records.data(), static_cast<ULONG>(records.size()), -1);
}

bool Interrupted() {
    return WSAGetLastError() == WSAEINTR;
}
#else
using PollRecord = pollfd;
using PollDescriptor = int;

int PollWait(std::vector<PollRecord>& records) {
    return ::poll(records.data(), static_cast<nfds_t>(records.size()), -1);
}

bool Interrupted() {
    return errno == EINTR;
}
#endif

quint32 ReadinessOf(short revents) {
    quint32 readiness = 0;
    if (revents & POLLIN)
        readiness |= HubEventBackend::Readable;
    if (revents & POLLOUT)
        readiness |= HubEventBackend::Writable;
    if (revents & POLLHUP)
        readiness |= HubEventBackend::PeerClosed;
    if (revents & (POLLERR | POLLNVAL))
        readiness |= HubEventBackend::Failed;
    return readiness;
}
} // namespace

ThreadPollEventBackend::ThreadPollEventBackend(QObject* parent) : HubEventBackend(parent) {
    m_valid = openWakePair();
    if (!m_valid) {
        qCWarning(lcHub) << "the poll thread's wake-up socket could not be made";
        return;
    }
    m_thread = std::thread([this] { run(); });
}

ThreadPollEventBackend::~ThreadPollEventBackend() {
    if (m_thread.joinable()) {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_taken.notify_all();
        m_pollEnded.notify_all();
        wake();
        m_thread.join();
    }
    closeWakePair();
}

bool ThreadPollEventBackend::openWakePair() {
    hubsocket::Initialize();
#ifdef Q_OS_WIN
    // A UDP socket on loopback connected to itself: a datagram sent to it ends the wait.
    const SOCKET socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (socket == INVALID_SOCKET)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    u_long on = 1;
    if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ioctlsocket(socket, FIONBIO, &on) != 0) {
        ::closesocket(socket);
        return false;
    }
    m_wakeRead = m_wakeWrite = static_cast<qintptr>(socket);
    return true;
#else
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0)
        return false;
    m_wakeRead = pair[0];
    m_wakeWrite = pair[1];
    return true;
#endif
}

void ThreadPollEventBackend::closeWakePair() {
    if (m_wakeWrite != m_wakeRead)
        hubsocket::Close(m_wakeWrite);
    hubsocket::Close(m_wakeRead);
    m_wakeRead = m_wakeWrite = -1;
}

void ThreadPollEventBackend::wake() {
    {
        std::lock_guard lock(m_mutex);
        if (m_wakePending && !m_stop)
            return;
        m_wakePending = true;
    }
    const char byte = 1;
    hubsocket::Error error = hubsocket::Error::None;
    hubsocket::Send(m_wakeWrite, &byte, 1, &error); // full: a wake-up is already waiting
}

bool ThreadPollEventBackend::watch(qintptr descriptor, quint32 interest) {
    if (!m_valid || descriptor < 0)
        return false;
    {
        std::lock_guard lock(m_mutex);
        if (m_watches.contains(descriptor))
            return false;
        m_watches.insert(descriptor, Watch{interest, ++m_nextGeneration});
        m_dirty = true;
    }
    wake();
    return true;
}

bool ThreadPollEventBackend::change(qintptr descriptor, quint32 interest) {
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_watches.find(descriptor);
        if (it == m_watches.end())
            return false;
        if (it->interest == interest)
            return true;
        it->interest = interest;
        m_dirty = true;
    }
    wake();
    return true;
}

void ThreadPollEventBackend::unwatch(qintptr descriptor) {
    bool polling = false;
    quint64 round = 0;
    {
        std::lock_guard lock(m_mutex);
        if (!m_watches.remove(descriptor))
            return;
        m_dirty = true;
        polling = m_polling;
        round = m_pollRounds;
    }
    // A wait holds on to the sockets it watches: one closed now would stay open underneath (no
    // FIN for the peer; a listener still taking connections meant for its successor) until the
    // wait ends. So the wait is ended before the caller closes it; whatever it still reported
    // for the socket is dropped by its generation.
    wake();
    if (polling) {
        std::unique_lock lock(m_mutex);
        m_pollEnded.wait_for(lock, std::chrono::milliseconds(200),
                             [&] { return m_stop || m_pollRounds != round; });
    }
}

void ThreadPollEventBackend::postReady() {
    if (m_readyPosted)
        return;
    m_readyPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_readyPosted = false;
            emit ready();
        },
        Qt::QueuedConnection);
}

int ThreadPollEventBackend::collect(Event* events, int max) {
    int count = 0;
    bool taken = false;
    {
        std::lock_guard lock(m_mutex);
        while (m_batchTaken < m_batch.size() && count < max) {
            const Found& found = m_batch[m_batchTaken++];
            const auto it = m_watches.find(found.descriptor);
            if (it == m_watches.end() || it->generation != found.generation || it->interest == 0)
                continue;
            // What is no longer asked for is not reported; a close or an error always is.
            quint32 readiness = found.readiness;
            if (!(it->interest & WantRead))
                readiness &= ~quint32(Readable);
            if (!(it->interest & WantWrite))
                readiness &= ~quint32(Writable);
            if (readiness != 0)
                events[count++] = Event{found.descriptor, readiness};
        }
        taken = m_batchTaken >= m_batch.size();
    }
    if (taken)
        m_taken.notify_one(); // the thread polls again: what is still ready comes back
    else
        postReady(); // the rest on the next pass, after the window had its turn
    return count;
}

void ThreadPollEventBackend::run() {
    std::vector<PollRecord> records;
    std::vector<quint64> generations; // of records[i], i >= 1
    std::vector<Found> found;
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_taken.wait(lock, [this] { return m_stop || m_batchTaken >= m_batch.size(); });
            if (m_stop)
                return;
            m_batch.clear();
            m_batchTaken = 0;
            if (m_dirty) {
                m_dirty = false;
                records.clear();
                generations.clear();
                PollRecord wakeRecord{};
                wakeRecord.fd = static_cast<PollDescriptor>(m_wakeRead);
                wakeRecord.events = POLLIN;
                records.push_back(wakeRecord);
                generations.push_back(0);
                for (auto it = m_watches.cbegin(); it != m_watches.cend(); ++it) {
                    if (it->interest == 0)
                        continue;
                    PollRecord record{};
                    record.fd = static_cast<PollDescriptor>(it.key());
                    if (it->interest & WantRead)
                        record.events |= POLLIN;
                    if (it->interest & WantWrite)
                        record.events |= POLLOUT;
                    records.push_back(record);
                    generations.push_back(it->generation);
                }
            }
            m_polling = true;
        }
        for (PollRecord& record : records)
            record.revents = 0;
        const int ready = PollWait(records);
        {
            std::lock_guard lock(m_mutex);
            m_polling = false;
            ++m_pollRounds;
        }
        m_pollEnded.notify_all();
        if (ready < 0) {
            if (!Interrupted()) {
                // A socket closed under the wait can fail the whole call on some systems; the
                // set is rebuilt from what is still watched before the next try.
                std::lock_guard lock(m_mutex);
                m_dirty = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (records[0].revents != 0) {
            // Drained first, the flag cleared after: a wake-up sent in between would otherwise
            // be drained with the rest while the flag stays set, and every later wake-up is
            // skipped; the thread would sit on a stale set (a new listener or Client never
            // polled). One that finds the flag still set changed the state before, and the top
            // of the loop, under the lock, sees that change.
            char drain[64];
            hubsocket::Error error = hubsocket::Error::None;
            while (hubsocket::Receive(m_wakeRead, drain, sizeof drain, &error) > 0) {
            }
            std::lock_guard lock(m_mutex);
            m_wakePending = false;
        }
        found.clear();
        for (size_t i = 1; i < records.size(); ++i) {
            if (records[i].revents == 0)
                continue;
            found.push_back(Found{static_cast<qintptr>(records[i].fd), generations[i],
                                  ReadinessOf(records[i].revents)});
        }
        if (found.empty())
            continue;
        {
            std::lock_guard lock(m_mutex);
            m_batch.swap(found);
            m_batchTaken = 0;
        }
        QMetaObject::invokeMethod(this, &HubEventBackend::ready, Qt::QueuedConnection);
    }
}

} // namespace torvane::server

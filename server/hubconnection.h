#pragma once

#include "common/messagereader.h"
#include "server/connectionhub.h"
#include "server/hubsocket.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <utility>
#include <vector>

#ifdef Q_OS_WIN
#include <unordered_map>
#endif

namespace torvane::server {

// One accepted connection. Kept small: the hub holds one per Client for as long as it is
// connected and frees it when the connection ends.
struct HubConnection {
    HubConnection(hubsocket::Descriptor descriptor, ConnectionHub::ClientId clientId,
                  quint64 serialNumber, QString peer)
        : fd(descriptor), id(clientId), serial(serialNumber), address(std::move(peer)) {}
    hubsocket::Descriptor fd;
    ConnectionHub::ClientId id;
    // Never reused, unlike the id and the descriptor after closeAll: tells whether a record
    // found again after a receiver ran is still the one being handled.
    quint64 serial;
    QString address;
    MessageReader reader{MessageReader::Side::Server};
    QByteArray outQueue;     // bytes the socket could not take yet
    qsizetype outOffset = 0; // how much of outQueue has gone out
    qint64 garbageBytes = 0; // non-report data since the last good report
    bool reported = false;   // one complete report came: a real Client
    bool wantWrite = false;
    bool broken = false; // a send failed or overflowed; ended on the next loop pass
};

// The connections by descriptor. POSIX descriptors are small dense integers, so a vector indexed
// by them is the fastest table; Windows socket handles are opaque values and go in a hash.
class ConnectionTable {
public:
    HubConnection* find(hubsocket::Descriptor fd) const {
#ifdef Q_OS_WIN
        const auto it = m_slots.find(fd);
        return it == m_slots.end() ? nullptr : it->second.get();
#else
        return fd >= 0 && fd < static_cast<qintptr>(m_slots.size()) ? m_slots[fd].get() : nullptr;
#endif
    }

    void insert(std::unique_ptr<HubConnection> conn) {
        const hubsocket::Descriptor fd = conn->fd;
#ifdef Q_OS_WIN
        m_slots[fd] = std::move(conn);
#else
        if (fd >= static_cast<qintptr>(m_slots.size()))
            m_slots.resize(std::max<size_t>(size_t(fd) + 1, m_slots.size() * 2));
        m_slots[fd] = std::move(conn);
#endif
    }

    void erase(hubsocket::Descriptor fd) {
#ifdef Q_OS_WIN
        m_slots.erase(fd);
#else
        if (fd >= 0 && fd < static_cast<qintptr>(m_slots.size()))
            m_slots[fd].reset();
#endif
    }

    void clear() {
#ifdef Q_OS_WIN
        m_slots.clear();
        m_slots.rehash(0);
#else
        m_slots.clear();
        m_slots.shrink_to_fit();
#endif
    }

    template <typename Visit> void forEach(Visit visit) const {
        for (const auto& slot : m_slots) {
#ifdef Q_OS_WIN
            visit(slot.second.get());
#else
            if (slot)
                visit(slot.get());
#endif
        }
    }

private:
#ifdef Q_OS_WIN
    std::unordered_map<hubsocket::Descriptor, std::unique_ptr<HubConnection>> m_slots;
#else
    std::vector<std::unique_ptr<HubConnection>> m_slots;
#endif
};

} // namespace torvane::server

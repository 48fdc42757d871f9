#pragma once

#include <QByteArray>
#include <QList>

#include <optional>

namespace torvane {

// Cuts a TCP byte stream into whole protocol messages. A message split over several reads is
// reassembled and messages merged into one read are separated, going by the command words and
// the field structure; where the bytes cannot tell (the end of an update or of a switch's last
// field) a short quiet time decides. Data that does not start with a command word the side
// knows is dropped whole, as is a buffer that grows past the cap without forming a message.
//
// Pure and clock-driven so that it can be tested without an event loop: the owner passes the
// current time in milliseconds and calls poll() at deadline().
class MessageReader {
public:
    enum class Side {
        Server, // reads reports
        Client, // reads line-list updates and switch commands
    };

    struct Timing {
        int quietMs = 50;   // silence that ends an update or a switch whose end is open
        int stallMs = 2000; // silence after which an unfinished message is given up
    };

    static constexpr int kServerCap = 4 * 1024;  // a report is well under 1 KiB
    static constexpr int kClientCap = 64 * 1024; // a 20-line update is a few KiB

    explicit MessageReader(Side side);
    MessageReader(Side side, Timing timing, int cap);

    // Adds received bytes; returns the messages they completed, in order.
    QList<QByteArray> feed(const QByteArray& bytes, qint64 nowMs);
    // Returns what the passing of time completed (at most one message).
    QList<QByteArray> poll(qint64 nowMs);
    // When poll() should next be called; nullopt when nothing is pending.
    std::optional<qint64> deadline() const;

    bool hasPending() const { return !m_buffer.isEmpty(); }
    qsizetype pendingBytes() const { return m_buffer.size(); }
    qint64 droppedCount() const { return m_dropped; } // buffers dropped as garbage or oversized
    void reset();

    enum class WordMatch { None, Prefix, Full };

private:
    enum class Scan { Incomplete, Complete, Garbage, OpenEnd };
    Scan scan(qsizetype& length, bool quiet) const;
    Scan scanReport(qsizetype& length) const;
    Scan scanSwitch(qsizetype& length, bool quiet) const;
    Scan scanUpdate(qsizetype& length, bool quiet) const;
    bool headsRecord(qsizetype from) const;
    const QList<QByteArray>& words() const;
    WordMatch matchAnyWord(qsizetype pos, const QByteArray** which) const;
    qsizetype findNextWord(qsizetype from, qsizetype& partialAt) const;
    void extract(QList<QByteArray>& out, bool quiet);
    void drop();

    Side m_side;
    Timing m_timing;
    int m_cap;
    QByteArray m_buffer;
    qint64 m_lastDataMs = 0;
    qint64 m_dropped = 0;   // 64 bits: a long-lived connection cannot wrap it
    bool m_openEnd = false; // the buffer may be complete; only the quiet time can tell
};

} // namespace torvane

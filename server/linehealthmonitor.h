#pragma once

#include "common/linehealth.h"
#include "server/connectionhub.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

#include <functional>

namespace torvane::server {

class LineTableController;
class SecureHub;

// What the workstations of one line measured, from their latest results.
struct LineHealthSummary {
    int reporting = 0;    // workstations with a current result
    int healthy = 0;      // of those, gateway and DNS both answered
    int medianDnsMs = -1; // over the queries that succeeded; -1 when none did
    bool operator==(const LineHealthSummary&) const = default;

    // More than half of the reporting workstations see the line broken.
    bool failing() const { return reporting > 0 && (reporting - healthy) * 2 > reporting; }
    int healthyPercent() const {
        return reporting > 0 ? (healthy * 100 + reporting / 2) / reporting : 0;
    }
};

// Keeps the latest health result of every connection of the secure channel and files it under
// the line of the table whose gateway and primary DNS the result names (the rule the per-line
// counts use for reports). A result goes when its connection goes and when no newer one came
// for the stale time (three of the Clients' probe intervals by default). Failing is counted as
// results arrive, so a line turns failing with the result that tips it; the median is worked out
// only when asked for.
class LineHealthMonitor : public QObject {
    Q_OBJECT
public:
    using ClientId = ConnectionHub::ClientId;
    using Clock = std::function<qint64()>; // milliseconds, never going back
    static constexpr int kDefaultStaleSeconds = 15;
    static constexpr int kSweepIntervalMs = 1000;

    explicit LineHealthMonitor(LineTableController* lines, QObject* parent = nullptr);
    // Results and departures of that hub's connections.
    void attach(SecureHub* hub);

    void setStaleAfter(int ms) { m_staleMs = ms; }
    int staleAfter() const { return m_staleMs; }
    void setClock(Clock clock) { m_clock = std::move(clock); }

    void record(ClientId id, const HealthReport& health);
    void forget(ClientId id);
    void forgetAll();
    // Forgets the results that are too old now (a timer does it every second).
    void expire();

    // Menu entry `entry`, or -1 for results that match no line.
    bool isFailing(int entry) const;
    int reportingCount(int entry) const;
    LineHealthSummary summaryOf(int entry) const;
    // One per menu entry, then the one of results that match no line; a single pass.
    QList<LineHealthSummary> summaries() const;
    int resultCount() const { return static_cast<int>(m_results.size()); }

signals:
    // After every change of the results (each arrival included), so that the state seen from
    // here is always current; views batch it.
    void changed();
    void lineFailingChanged(int entry, bool failing);

private:
    struct Result {
        int entry = -1;
        QString gateway, primaryDns;
        bool healthy = false;
        bool dnsOk = false;
        int dnsMs = 0;
        qint64 at = 0;
    };
    struct Counts {
        int reporting = 0;
        int unhealthy = 0;
        bool failing() const { return reporting > 0 && unhealthy * 2 > reporting; }
    };

    Counts& countsOf(int entry);
    const Counts* countsOf(int entry) const;
    void add(const Result& result, int sign);
    void announce(int entry, bool wasFailing); // says so when the line turned
    void refile();
    qint64 now() const;

    LineTableController* m_lines;
    Clock m_clock;
    int m_staleMs = kDefaultStaleSeconds * 1000;
    QHash<ClientId, Result> m_results;
    QList<Counts> m_counts; // per menu entry
    Counts m_unknown;
    QTimer m_sweep;
};

} // namespace torvane::server

#pragma once

#include "client/lineprober.h"

#include <QHash>
#include <QList>
#include <QPair>
#include <QTimer>

namespace torvane::client {

// In-memory stand-in for tests: answers each probe after a set time with the result set for its
// gateway (healthy when none is set), and records every probe and any that overlapped.
class FakeLineProber : public LineProber {
    Q_OBJECT
public:
    using LineProber::LineProber;

    void probe(const QString& gateway, const QString& primaryDns, Done done) override {
        m_calls.append({gateway, primaryDns});
        if (m_running)
            ++m_overlapping;
        m_running = true;
        ProbeResult result = m_results.value(gateway, Healthy());
        if (!result.healthy() && result.reason.isEmpty())
            result.reason =
                ProbeFailureText(gateway, result.gatewayOk, primaryDns, result.dnsOk, probeName());
        QTimer::singleShot(m_delayMs, this, [this, done = std::move(done), result] {
            m_running = false;
            done(result);
        });
    }

    static ProbeResult Healthy(int dnsMs = 12) { return ProbeResult{true, true, dnsMs, {}}; }

    // Probes of this gateway answer with result from now on.
    void setResult(const QString& gateway, const ProbeResult& result) {
        m_results.insert(gateway, result);
    }
    void setDelayMs(int ms) { m_delayMs = ms; }

    // Gateway and primary DNS of each probe, in order.
    const QList<QPair<QString, QString>>& calls() const { return m_calls; }
    void clearCalls() { m_calls.clear(); }
    int overlapping() const { return m_overlapping; }

private:
    QHash<QString, ProbeResult> m_results;
    QList<QPair<QString, QString>> m_calls;
    int m_delayMs = 0;
    int m_overlapping = 0;
    bool m_running = false;
};

} // namespace torvane::client

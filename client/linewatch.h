#pragma once

#include "client/lineprober.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QTimer;

namespace torvane::client {

// Keeps an eye on the line in use through one prober: a health probe every interval while the
// secure link is up, and after a switch a probe each second until one is healthy or the time
// allowed has passed. Never two probes at once: a tick that finds one running is skipped, and a
// health tick gives way to a check after a switch.
class LineWatch : public QObject {
    Q_OBJECT
public:
    struct Target {
        QString name; // the line's name in the Client's list, empty when it has none
        QString gateway;
        QString primaryDns;
    };
    // The line to probe now; nullopt skips the tick (a switch is running, say).
    using TargetSource = std::function<std::optional<Target>()>;

    // unitMs is one second of the intervals below; tests make it shorter.
    LineWatch(std::unique_ptr<LineProber> prober, int unitMs, QObject* parent = nullptr);
    ~LineWatch() override;

    LineProber& prober() { return *m_prober; }

    // A probe of source()'s line at once and then every intervalS seconds; healthMeasured()
    // for each result. Calling it again restarts with the new interval.
    void startHealth(int intervalS, TargetSource source);
    // Stops health probes; a result still on its way is dropped.
    void stopHealth();
    bool healthRunning() const;

    // Probes target at once and then every second: lineConfirmed() on the first healthy result,
    // lineFailed() with the last result when none was healthy within seconds. Replaces a check
    // still running.
    void verify(const Target& target, int seconds);
    // Drops the check after a switch, without an outcome.
    void cancelVerification();
    bool verifying() const { return m_verifyTarget.has_value(); }

signals:
    void healthMeasured(const torvane::client::LineWatch::Target& target,
                        const torvane::client::ProbeResult& result);
    void lineConfirmed(const torvane::client::LineWatch::Target& target);
    void lineFailed(const torvane::client::LineWatch::Target& target,
                    const torvane::client::ProbeResult& last);

private:
    enum class Purpose { Health, Verification };
    void onHealthTick();
    void onVerifyTick();
    void onVerifyDeadline();
    void runProbe(const Target& target, Purpose purpose);
    void onProbeDone(quint64 generation, Purpose purpose, const Target& target,
                     const ProbeResult& result);

    std::unique_ptr<LineProber> m_prober;
    int m_unitMs = 1000;
    QTimer* m_healthTimer = nullptr;
    QTimer* m_verifyTimer = nullptr;
    QTimer* m_verifyDeadline = nullptr;
    TargetSource m_healthSource;
    std::optional<Target> m_verifyTarget;
    std::optional<ProbeResult> m_lastVerifyResult;
    bool m_probing = false;
    // Results of probes started before the last stop or cancel are not used.
    quint64 m_healthGeneration = 0;
    quint64 m_verifyGeneration = 0;
};

} // namespace torvane::client

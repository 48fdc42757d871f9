#pragma once

#include "client/adapter/networkadapter.h"

#include <QList>

#include <optional>

namespace torvane::client {

// In-memory stand-in for tests: returns the params it was given, records every switch, and can
// be told to fail. A successful switch updates the params the way a real adapter would (gateway,
// DNS, and address/mask when a local IP is given).
//
// Like every backend it finishes a switch later, never inside startSwitch(): on the next pass of
// the event loop or after the duration set, or, while switches are held, when the test calls
// completeSwitch().
class FakeAdapter : public NetworkAdapter {
    Q_OBJECT
public:
    using NetworkAdapter::NetworkAdapter;

    QString backendName() const override { return QStringLiteral("fake"); }
    NetworkParams inspect() override;
    void startSwitch(const AdapterSettings& settings) override;
    bool switchRunning() const override { return m_running.has_value(); }

    void setParams(const NetworkParams& params) { m_params = params; }
    const NetworkParams& params() const { return m_params; }

    // Every later switch fails with this text and kind and changes nothing; an empty text
    // clears it.
    void setFailure(const QString& errorText, SwitchFailure kind = SwitchFailure::Other) {
        m_failure = errorText;
        m_failureKind = kind;
    }

    // A switch takes this long (0: it ends on the next pass of the event loop).
    void setSwitchDuration(int ms) { m_durationMs = ms; }
    // Held switches stay running until completeSwitch(), so a test can act in the middle of one.
    void setHoldSwitches(bool hold) { m_hold = hold; }
    // Finishes the running switch now (signal included); false when none runs.
    bool completeSwitch();

    const QList<AdapterSettings>& switchCalls() const { return m_switchCalls; }
    int inspectCount() const { return m_inspectCount; }
    // Switches started while another one was still running (a caller that does not wait).
    int overlappingStarts() const { return m_overlapping; }

private:
    SwitchOutcome apply(const AdapterSettings& settings);

    NetworkParams m_params;
    QString m_failure;
    SwitchFailure m_failureKind = SwitchFailure::Other;
    QList<AdapterSettings> m_switchCalls;
    std::optional<AdapterSettings> m_running;
    bool m_hold = false;
    int m_durationMs = 0;
    int m_inspectCount = 0;
    int m_overlapping = 0;
    quint64 m_generation = 0;
};

} // namespace torvane::client

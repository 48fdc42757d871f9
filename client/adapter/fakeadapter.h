#pragma once

#include "client/adapter/networkadapter.h"

#include <QList>

namespace torvane::client {

// In-memory stand-in for tests of the windows: returns the params it was given, records every
// switch, and can be told to fail. A successful switch updates the params the way the real
// adapter would (gateway, DNS, and address/mask when a local IP is given).
class FakeAdapter : public NetworkAdapter {
public:
    NetworkParams inspect() override;
    SwitchOutcome switchTo(const AdapterSettings& settings) override;

    void setParams(const NetworkParams& params) { m_params = params; }
    const NetworkParams& params() const { return m_params; }

    // Every later switch fails with this text and changes nothing; an empty text clears it.
    void setFailure(const QString& errorText) { m_failure = errorText; }

    const QList<AdapterSettings>& switchCalls() const { return m_switchCalls; }
    int inspectCount() const { return m_inspectCount; }

private:
    NetworkParams m_params;
    QString m_failure;
    QList<AdapterSettings> m_switchCalls;
    int m_inspectCount = 0;
};

} // namespace torvane::client

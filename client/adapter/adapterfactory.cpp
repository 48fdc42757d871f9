#include "client/adapter/adapterfactory.h"

#include "client/clientlogging.h"

#include <QTimer>

namespace torvane::client {

namespace {

// Stands in when no backend fits this machine: the window still starts and shows why.
class UnsupportedAdapter : public NetworkAdapter {
public:
    QString backendName() const override { return QStringLiteral("none"); }

    NetworkParams inspect() override {
        NetworkParams params;
        params.outcome = InspectionOutcome::NetworkParamsUnavailable;
        return params;
    }

    void startSwitch(const AdapterSettings&) override {
        m_running = true;
        QTimer::singleShot(0, this, [this] {
            m_running = false;
            SwitchOutcome outcome;
            outcome.errorText = QStringLiteral("no adapter backend fits this system");
            emit switchFinished(outcome);
        });
    }

    bool switchRunning() const override { return m_running; }

private:
    bool m_running = false;
};

} // namespace

int ErrorNumber(InspectionOutcome outcome) {
    return static_cast<int>(outcome);
}

std::unique_ptr<NetworkAdapter> CreateNetworkAdapter(const QList<AdapterBackend>& backends) {
    for (const AdapterBackend& backend : backends) {
        if (!backend.probe || !backend.probe()) {
            qCDebug(lcAdapter) << "adapter backend" << backend.name << "does not fit";
            continue;
        }
        if (std::unique_ptr<NetworkAdapter> adapter = backend.create ? backend.create() : nullptr) {
            qCInfo(lcAdapter) << "adapter backend:" << backend.name;
            return adapter;
        }
    }
    qCWarning(lcAdapter) << "no adapter backend fits this system";
    return std::make_unique<UnsupportedAdapter>();
}

std::unique_ptr<NetworkAdapter> CreateNetworkAdapter() {
    return CreateNetworkAdapter(PlatformAdapterBackends());
}

} // namespace torvane::client

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

qsizetype ChooseAdapterBackend(const QList<AdapterBackend>& backends, const QString& forced) {
    if (!forced.isEmpty()) {
        for (qsizetype i = 0; i < backends.size(); ++i) {
            if (backends[i].name == forced)
                return i;
        }
        qCWarning(lcAdapter).noquote() << "the adapter backend" << forced << "named by"
                                       << kForceBackendVariable << "does not exist";
        return -1;
    }
    for (qsizetype i = 0; i < backends.size(); ++i) {
        if (backends[i].probe && backends[i].probe())
            return i;
        qCDebug(lcAdapter).noquote() << "adapter backend" << backends[i].name << "does not fit";
    }
    return -1;
}

std::unique_ptr<NetworkAdapter> CreateNetworkAdapter(const QList<AdapterBackend>& backends) {
    const qsizetype chosen =
        ChooseAdapterBackend(backends, qEnvironmentVariable(kForceBackendVariable));
    if (chosen >= 0 && backends[chosen].create) {
        if (std::unique_ptr<NetworkAdapter> adapter = backends[chosen].create()) {
            qCInfo(lcAdapter).noquote() << "backend:" << backends[chosen].name;
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

#pragma once

#include "client/adapter/networkadapter.h"
#include "client/adapter/windows/iphelperapi.h"

#include <QByteArray>
#include <QTimer>

class QThread;

namespace torvane::client {

// The adapter backend of Windows. It reads the adapters itself (the IP Helper needs no right for
// that) and asks the switching service, a LocalSystem service behind a local pipe, to change
// them: the window runs as the user and never holds that right. The request travels on a thread
// of its own, so the window never waits for the pipe.
//
// Changes made behind its back are noticed through the system's interface and route
// notifications where they work, and by comparing a cheap inspection every few seconds (DNS
// changes are announced by nothing, and some systems never call back).
class IpHelperAdapter : public NetworkAdapter {
    Q_OBJECT
public:
    explicit IpHelperAdapter(QObject* parent = nullptr);
    IpHelperAdapter(IpHelperApi api, const QString& pipeName, QObject* parent = nullptr);
    ~IpHelperAdapter() override;

    QString backendName() const override { return QStringLiteral("iphelper"); }
    NetworkParams inspect() override;
    void startSwitch(const AdapterSettings& settings) override;
    bool switchRunning() const override { return m_worker != nullptr; }

    QString pipeName() const { return m_pipeName; }
    void setWatchInterval(int ms) { m_poll.setInterval(ms); }

    // The IP Helper is part of every Windows this program runs on.
    static bool Probe() { return true; }

private:
    void startWatching();
    void stopWatching();
    void compareWithLastInspection();
    void onWorkerFinished();

    const IpHelperApi m_api;
    const QString m_pipeName;
    QThread* m_worker = nullptr;
    SwitchReply m_reply; // written by the worker, read after it finished
    QTimer m_poll;
    QTimer m_settle;
    QByteArray m_lastSeen;
    void* m_interfaceNotification = nullptr;
    void* m_routeNotification = nullptr;
};

} // namespace torvane::client

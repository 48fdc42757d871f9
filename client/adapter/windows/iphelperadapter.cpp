#include "client/adapter/windows/iphelperadapter.h"

#include "client/adapter/windows/adapterinventory.h"
#include "client/adapter/windows/switchpipe.h"
#include "client/clientlogging.h"

#include <QThread>

namespace torvane::client {

namespace {

using NotifyInterfaceFn = NETIO_STATUS(WINAPI*)(ADDRESS_FAMILY, PIPINTERFACE_CHANGE_CALLBACK, PVOID,
                                                BOOLEAN, HANDLE*);
using NotifyRouteFn = NETIO_STATUS(WINAPI*)(ADDRESS_FAMILY, PIPFORWARD_CHANGE_CALLBACK, PVOID,
                                            BOOLEAN, HANDLE*);
using CancelNotifyFn = NETIO_STATUS(WINAPI*)(HANDLE);

void* IpHelperFunction(const char* name) {
    const HMODULE module = ::GetModuleHandleW(L"iphlpapi.dll");
    return module ? reinterpret_cast<void*>(::GetProcAddress(module, name)) : nullptr;
}

// The system calls back on a thread of its own: the context is the adapter's settle timer, started
// on the adapter's thread.
void NotifyLater(void* context) {
    QMetaObject::invokeMethod(static_cast<QTimer*>(context), "start", Qt::QueuedConnection);
}

void WINAPI OnInterfaceChange(PVOID context, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE) {
    NotifyLater(context);
}

void WINAPI OnRouteChange(PVOID context, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE) {
    NotifyLater(context);
}

QByteArray Fingerprint(const NetworkParams& params) {
    return QStringList{QString::number(int(params.outcome)),
                       params.hostName,
                       params.adapterName,
                       params.localIp,
                       params.subnetMask,
                       params.gateway,
                       params.dnsServers.join(QLatin1Char(','))}
        .join(QLatin1Char('\n'))
        .toUtf8();
}

} // namespace

IpHelperAdapter::IpHelperAdapter(QObject* parent)
    : IpHelperAdapter(SystemIpHelperApi(), QString::fromWCharArray(kSwitchPipeName), parent) {}

IpHelperAdapter::IpHelperAdapter(IpHelperApi api, const QString& pipeName, QObject* parent)
    : NetworkAdapter(parent), m_api(std::move(api)), m_pipeName(pipeName) {
    m_poll.setInterval(3000);
    connect(&m_poll, &QTimer::timeout, this, &IpHelperAdapter::compareWithLastInspection);
    // A burst of notifications (an address and its routes) is looked at once.
    m_settle.setSingleShot(true);
    m_settle.setInterval(200);
    connect(&m_settle, &QTimer::timeout, this, &IpHelperAdapter::compareWithLastInspection);
    startWatching();
}

IpHelperAdapter::~IpHelperAdapter() {
    stopWatching();
    if (m_worker) {
        // The worker waits at most for the pipe's time-outs; the service itself is not stopped.
        m_worker->disconnect(this);
        m_worker->wait();
        delete m_worker;
    }
}

void IpHelperAdapter::startWatching() {
    const auto notifyInterface =
        reinterpret_cast<NotifyInterfaceFn>(IpHelperFunction("NotifyIpInterfaceChange"));
    const auto notifyRoute =
        reinterpret_cast<NotifyRouteFn>(IpHelperFunction("NotifyRouteChange2"));
    HANDLE handle = nullptr;
    if (notifyInterface &&
        notifyInterface(AF_INET, &OnInterfaceChange, &m_settle, FALSE, &handle) == NO_ERROR)
        m_interfaceNotification = handle;
    handle = nullptr;
    if (notifyRoute && notifyRoute(AF_INET, &OnRouteChange, &m_settle, FALSE, &handle) == NO_ERROR)
        m_routeNotification = handle;
    qCDebug(lcAdapter) << "watching adapters: interface notifications"
                       << (m_interfaceNotification != nullptr) << "route notifications"
                       << (m_routeNotification != nullptr) << "poll every" << m_poll.interval()
                       << "ms";
    m_poll.start();
}

void IpHelperAdapter::stopWatching() {
    m_poll.stop();
    const auto cancel =
        reinterpret_cast<CancelNotifyFn>(IpHelperFunction("CancelMibChangeNotify2"));
    // Cancelling waits for a callback under way, so none reaches a destroyed adapter.
    for (void** handle : {&m_interfaceNotification, &m_routeNotification}) {
        if (*handle && cancel)
            cancel(static_cast<HANDLE>(*handle));
        *handle = nullptr;
    }
}

void IpHelperAdapter::compareWithLastInspection() {
    const QByteArray seen = Fingerprint(AdapterInventory::Inspect(m_api, true));
    const bool changed = !m_lastSeen.isEmpty() && seen != m_lastSeen;
    m_lastSeen = seen;
    if (changed) {
        qCDebug(lcAdapter) << "adapter settings changed outside";
        emit settingsChangedOutside();
    }
}

NetworkParams IpHelperAdapter::inspect() {
    const NetworkParams params = AdapterInventory::Inspect(m_api);
    m_lastSeen = Fingerprint(params);
    return params;
}

void IpHelperAdapter::startSwitch(const AdapterSettings& settings) {
    if (m_worker) {
        refuseBusySwitch();
        return;
    }
    m_reply = SwitchReply{};
    const QByteArray request = EncodeSwitchRequest(settings);
    m_worker =
        QThread::create([this, request] { m_reply = AskSwitchService(m_pipeName, request); });
    m_worker->setObjectName(QStringLiteral("adapter switch"));
    connect(m_worker, &QThread::finished, this, &IpHelperAdapter::onWorkerFinished);
    m_worker->start();
}

void IpHelperAdapter::onWorkerFinished() {
    m_worker->wait();
    delete m_worker;
    m_worker = nullptr;
    SwitchOutcome outcome;
    outcome.ok = m_reply.failure == SwitchFailure::None;
    outcome.failure = m_reply.failure;
    outcome.errorText = m_reply.text;
    if (!outcome.ok)
        qCWarning(lcSwitch).noquote() << "adapter switch refused or failed:" << m_reply.text;
    emit switchFinished(outcome);
}

} // namespace torvane::client

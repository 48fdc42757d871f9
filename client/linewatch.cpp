#include "client/linewatch.h"

#include "client/clientlogging.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace torvane::client {

LineWatch::LineWatch(std::unique_ptr<LineProber> prober, int unitMs, QObject* parent)
    : QObject(parent), m_prober(std::move(prober)), m_unitMs(std::max(1, unitMs)),
      m_healthTimer(new QTimer(this)), m_verifyTimer(new QTimer(this)),
      m_verifyDeadline(new QTimer(this)) {
    m_verifyTimer->setInterval(m_unitMs);
    m_verifyDeadline->setSingleShot(true);
    connect(m_healthTimer, &QTimer::timeout, this, &LineWatch::onHealthTick);
    connect(m_verifyTimer, &QTimer::timeout, this, &LineWatch::onVerifyTick);
    connect(m_verifyDeadline, &QTimer::timeout, this, &LineWatch::onVerifyDeadline);
}

LineWatch::~LineWatch() = default;

void LineWatch::startHealth(int intervalS, TargetSource source) {
    m_healthSource = std::move(source);
    ++m_healthGeneration;
    m_healthTimer->start(std::max(1, intervalS) * m_unitMs);
    onHealthTick();
}

void LineWatch::stopHealth() {
    ++m_healthGeneration;
    m_healthTimer->stop();
    m_healthSource = nullptr;
}

bool LineWatch::healthRunning() const {
    return m_healthTimer->isActive();
}

void LineWatch::verify(const Target& target, int seconds) {
    ++m_verifyGeneration;
    m_verifyTarget = target;
    m_lastVerifyResult.reset();
    m_verifyTimer->start();
    m_verifyDeadline->start(std::max(1, seconds) * m_unitMs);
    qCInfo(lcHealth) << "checking the new line" << target.gateway << target.primaryDns << "for"
                     << seconds << "s";
    onVerifyTick();
}

void LineWatch::cancelVerification() {
    if (!m_verifyTarget)
        return;
    ++m_verifyGeneration;
    m_verifyTarget.reset();
    m_lastVerifyResult.reset();
    m_verifyTimer->stop();
    m_verifyDeadline->stop();
}

void LineWatch::onHealthTick() {
    // The check after a switch has the prober until it ends.
    if (m_probing || m_verifyTarget || !m_healthSource)
        return;
    if (const std::optional<Target> target = m_healthSource())
        runProbe(*target, Purpose::Health);
}

void LineWatch::onVerifyTick() {
    if (m_probing || !m_verifyTarget)
        return;
    runProbe(*m_verifyTarget, Purpose::Verification);
}

void LineWatch::onVerifyDeadline() {
    if (!m_verifyTarget)
        return;
    const Target target = *m_verifyTarget;
    ProbeResult last;
    if (m_lastVerifyResult) {
        last = *m_lastVerifyResult;
    } else {
        last.reason = QStringLiteral("网关 %1 和 DNS %2 在规定时间内没有检测结果")
                          .arg(target.gateway, target.primaryDns);
    }
    cancelVerification();
    emit lineFailed(target, last);
}

void LineWatch::runProbe(const Target& target, Purpose purpose) {
    m_probing = true;
    const quint64 generation = purpose == Purpose::Health ? m_healthGeneration : m_verifyGeneration;
    QPointer<LineWatch> self(this);
    m_prober->probe(target.gateway, target.primaryDns,
                    [self, generation, purpose, target](const ProbeResult& result) {
                        if (self)
                            self->onProbeDone(generation, purpose, target, result);
                    });
}

void LineWatch::onProbeDone(quint64 generation, Purpose purpose, const Target& target,
                            const ProbeResult& result) {
    m_probing = false;
    qCDebug(lcHealth) << (purpose == Purpose::Health ? "health" : "check") << target.gateway
                      << target.primaryDns << "gateway" << result.gatewayOk << "DNS" << result.dnsOk
                      << result.dnsMs << "ms";
    if (purpose == Purpose::Health) {
        if (generation == m_healthGeneration && m_healthSource)
            emit healthMeasured(target, result);
    } else if (generation == m_verifyGeneration && m_verifyTarget) {
        if (result.healthy()) {
            const Target confirmed = *m_verifyTarget;
            cancelVerification();
            qCInfo(lcHealth) << "the new line" << confirmed.gateway << confirmed.primaryDns
                             << "works";
            emit lineConfirmed(confirmed);
            return;
        }
        m_lastVerifyResult = result;
        return;
    }
    // A check after a switch that waited for this probe goes on at once.
    if (m_verifyTarget)
        onVerifyTick();
}

} // namespace torvane::client

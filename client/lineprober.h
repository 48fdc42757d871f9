#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

namespace torvane::client {

// What one look at a line found: the gateway answered, the line's primary DNS server resolved
// the probe name, and how long that query took (or how long it was waited for).
struct ProbeResult {
    bool gatewayOk = false;
    bool dnsOk = false;
    int dnsMs = 0;
    QString reason; // what failed, in the words the administrator and the user read; empty if ok

    bool healthy() const { return gatewayOk && dnsOk; }
};

// The words for what failed: "网关 10.77.2.1 不通", "DNS 10.77.9.1 无法解析 www.baidu.com", or
// both.
inline QString ProbeFailureText(const QString& gateway, bool gatewayOk, const QString& primaryDns,
                                bool dnsOk, const QString& probeName) {
    const auto shown = [](const QString& address) {
        return address.isEmpty() ? QStringLiteral("(无)") : address;
    };
    QStringList parts;
    if (!gatewayOk)
        parts << QStringLiteral("网关 %1 不通").arg(shown(gateway));
    if (!dnsOk)
        parts << QStringLiteral("DNS %1 无法解析 %2").arg(shown(primaryDns), probeName);
    return parts.join(QStringLiteral("，"));
}

// Looks at a line from this workstation: an echo to its gateway and a DNS query through its
// primary DNS server, at the same time. The result always comes later, on the caller's thread,
// never from inside probe(). One probe at a time: the caller waits for the result.
class LineProber : public QObject {
    Q_OBJECT
public:
    using Done = std::function<void(const ProbeResult&)>;
    using QObject::QObject;
    ~LineProber() override = default;

    // The name the DNS query asks for.
    void setProbeName(const QString& name) { m_probeName = name; }
    const QString& probeName() const { return m_probeName; }

    virtual void probe(const QString& gateway, const QString& primaryDns, Done done) = 0;

private:
    QString m_probeName = QStringLiteral("www.baidu.com");
};

} // namespace torvane::client

#include "common/linehealth.h"

#include "common/ipv4.h"

#include <QList>

#include <algorithm>
#include <initializer_list>

namespace torvane {
namespace {

constexpr int kMaxNameBytes = 128;
constexpr int kMaxReasonBytes = 512;

// A value as it may be written: one line, no control characters. Encoding replaces what a value
// must not hold, so an encoded body always decodes.
QByteArray CleanValue(const QString& text, int maxBytes) {
    QString line = text;
    for (QChar& c : line) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char(' ');
    }
    QByteArray bytes = line.toUtf8();
    if (bytes.size() > maxBytes) {
        bytes.truncate(maxBytes);
        // Cut on a character boundary: drop a lead byte and continuation bytes left at the end.
        while (!bytes.isEmpty() && (static_cast<uchar>(bytes.back()) & 0xC0) == 0x80)
            bytes.chop(1);
        if (!bytes.isEmpty() && static_cast<uchar>(bytes.back()) >= 0xC0)
            bytes.chop(1);
    }
    return bytes;
}

bool IsCleanValue(QByteArrayView value) {
    return std::none_of(value.begin(), value.end(), [](char c) {
        const auto u = static_cast<uchar>(c);
        return u < 0x20 || u == 0x7f;
    });
}

// The values of "key=value\n" lines with exactly these keys in this order; nullopt otherwise.
std::optional<QList<QByteArrayView>> Fields(QByteArrayView body,
                                            std::initializer_list<const char*> keys) {
    QList<QByteArrayView> values;
    qsizetype at = 0;
    for (const char* key : keys) {
        const QByteArrayView name(key);
        const qsizetype end = body.indexOf('\n', at);
        if (end < 0)
            return std::nullopt;
        const QByteArrayView line = body.sliced(at, end - at);
        if (!line.startsWith(name) || line.size() <= name.size() || line[name.size()] != '=')
            return std::nullopt;
        const QByteArrayView value = line.sliced(name.size() + 1);
        if (!IsCleanValue(value) || QString::fromUtf8(value).toUtf8() != value)
            return std::nullopt;
        values.append(value);
        at = end + 1;
    }
    if (at != body.size())
        return std::nullopt;
    return values;
}

std::optional<bool> Flag(QByteArrayView value) {
    if (value == "0")
        return false;
    if (value == "1")
        return true;
    return std::nullopt;
}

bool IsAddressOrEmpty(QByteArrayView value) {
    if (value.isEmpty())
        return true;
    const bool plain = value.size() <= 15 && std::all_of(value.begin(), value.end(), [](char c) {
                           return c == '.' || (c >= '0' && c <= '9');
                       });
    return plain && Ipv4::Parse(QString::fromLatin1(value), nullptr);
}

} // namespace

QByteArray EncodeHealthReport(const HealthReport& report) {
    QByteArray out;
    out.append("line=").append(CleanValue(report.line, kMaxNameBytes)).append('\n');
    out.append("gateway=").append(CleanValue(report.gateway, 15)).append('\n');
    out.append("dns=").append(CleanValue(report.primaryDns, 15)).append('\n');
    out.append("gateway_ok=").append(report.gatewayOk ? "1" : "0").append('\n');
    out.append("dns_ok=").append(report.dnsOk ? "1" : "0").append('\n');
    out.append("dns_ms=")
        .append(QByteArray::number(std::clamp(report.dnsMs, 0, kMaxDnsMs)))
        .append('\n');
    return out;
}

std::optional<HealthReport> DecodeHealthReport(QByteArrayView body) {
    if (body.size() > kMaxHealthBodyBytes)
        return std::nullopt;
    const auto values = Fields(body, {"line", "gateway", "dns", "gateway_ok", "dns_ok", "dns_ms"});
    if (!values)
        return std::nullopt;
    const auto& v = *values;
    if (v[0].size() > kMaxNameBytes || !IsAddressOrEmpty(v[1]) || !IsAddressOrEmpty(v[2]))
        return std::nullopt;
    const auto gatewayOk = Flag(v[3]);
    const auto dnsOk = Flag(v[4]);
    if (!gatewayOk || !dnsOk)
        return std::nullopt;
    const QByteArrayView ms = v[5];
    if (ms.isEmpty() || ms.size() > 5 || (ms.size() > 1 && ms[0] == '0'))
        return std::nullopt;
    int dnsMs = 0;
    for (char c : ms) {
        if (c < '0' || c > '9')
            return std::nullopt;
        dnsMs = dnsMs * 10 + (c - '0');
    }
    if (dnsMs > kMaxDnsMs)
        return std::nullopt;
    return HealthReport{QString::fromUtf8(v[0]),
                        QString::fromLatin1(v[1]),
                        QString::fromLatin1(v[2]),
                        *gatewayOk,
                        *dnsOk,
                        dnsMs};
}

QByteArray EncodeRollbackReport(const RollbackReport& report) {
    QByteArray out;
    out.append("from=").append(CleanValue(report.from, kMaxNameBytes)).append('\n');
    out.append("to=").append(CleanValue(report.to, kMaxNameBytes)).append('\n');
    out.append("reason=").append(CleanValue(report.reason, kMaxReasonBytes)).append('\n');
    return out;
}

std::optional<RollbackReport> DecodeRollbackReport(QByteArrayView body) {
    if (body.size() > kMaxRollbackBodyBytes)
        return std::nullopt;
    const auto values = Fields(body, {"from", "to", "reason"});
    if (!values)
        return std::nullopt;
    const auto& v = *values;
    if (v[0].size() > kMaxNameBytes || v[1].size() > kMaxNameBytes || v[2].size() > kMaxReasonBytes)
        return std::nullopt;
    return RollbackReport{QString::fromUtf8(v[0]), QString::fromUtf8(v[1]),
                          QString::fromUtf8(v[2])};
}

} // namespace torvane

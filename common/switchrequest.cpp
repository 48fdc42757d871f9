#include "common/switchrequest.h"

#include "common/ipv4.h"

#include <QList>

#include <utility>

namespace torvane {

namespace {

const char kRequestHeader[] = "TORVANE-SWITCH 1";
const char kReplyHeader[] = "TORVANE-SWITCHED 1";
const char* const kRequestKeys[] = {"gateway", "primary", "secondary", "address", "mask"};

bool IsAddressText(QByteArrayView value) {
    if (value.size() > 15)
        return false;
    for (char c : value) {
        if (c != '.' && (c < '0' || c > '9'))
            return false;
    }
    return true;
}

// Splits "key=value" lines after the header; nullopt when a line is missing its key or the
// message does not end with a newline.
std::optional<QList<QByteArrayView>> Fields(QByteArrayView bytes, const char* header,
                                            const QList<const char*>& keys) {
    if (!bytes.endsWith('\n'))
        return std::nullopt;
    QList<QByteArrayView> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n') {
            lines.append(bytes.sliced(start, i - start));
            start = i + 1;
        }
    }
    if (lines.size() != keys.size() + 1 || lines.first() != QByteArrayView(header))
        return std::nullopt;
    QList<QByteArrayView> values;
    for (qsizetype k = 0; k < keys.size(); ++k) {
        const QByteArrayView line = lines[k + 1];
        const QByteArrayView key(keys[k]);
        if (!line.startsWith(key) || line.size() <= key.size() || line[key.size()] != '=')
            return std::nullopt;
        values.append(line.sliced(key.size() + 1));
    }
    return values;
}

} // namespace

QString CheckAdapterSettings(const AdapterSettings& settings, SwitchFailure* failure) {
    SwitchFailure ignored = SwitchFailure::None;
    SwitchFailure& kind = failure ? *failure : ignored;
    kind = SwitchFailure::InvalidSettings;
    const QString gateway = settings.gateway.trimmed();
    const QString primary = settings.primaryDns.trimmed();
    const QString secondary = settings.secondaryDns.trimmed();
    if (!Ipv4::Parse(gateway, nullptr))
        return QStringLiteral("invalid gateway \"%1\"").arg(gateway);
    if (!Ipv4::Parse(primary, nullptr))
        return QStringLiteral("invalid primary DNS server \"%1\"").arg(primary);
    if (!secondary.isEmpty() && !Ipv4::Parse(secondary, nullptr))
        return QStringLiteral("invalid secondary DNS server \"%1\"").arg(secondary);
    // The resolver ignores a server written with a leading zero, and route tools disagree on
    // what such a gateway means: refused before anything changes.
    for (const auto& [what, text] :
         {std::pair{"gateway", gateway}, std::pair{"primary DNS server", primary},
          std::pair{"secondary DNS server", secondary}}) {
        if (Ipv4::HasLeadingZero(text))
            return QStringLiteral("the %1 %2 has a part with a leading zero")
                .arg(QLatin1String(what), text);
    }
    const QString localIp = settings.localIp.trimmed();
    if (localIp.isEmpty()) {
        kind = SwitchFailure::None;
        return QString();
    }
    quint32 address = 0;
    if (!Ipv4::Parse(localIp, &address))
        return QStringLiteral("invalid local IP \"%1\"").arg(localIp);
    const QString mask = settings.subnetMask.trimmed();
    const int prefix = Ipv4::MaskToPrefix(mask);
    if (prefix < 1)
        return QStringLiteral("invalid subnet mask \"%1\"").arg(mask);
    if (prefix < 31) {
        const quint32 host = address & ~Ipv4::PrefixToBits(prefix);
        if (host == 0 || host == ~Ipv4::PrefixToBits(prefix))
            return QStringLiteral("%1 is the network or broadcast address of its subnet %2")
                .arg(localIp, mask);
    }
    quint32 gw = 0;
    Ipv4::Parse(gateway, &gw);
    kind = SwitchFailure::GatewayIsOwnAddress;
    if (gw == address)
        return QStringLiteral("the gateway %1 equals the local IP").arg(gateway);
    kind = SwitchFailure::GatewayOutsideNewSubnet;
    if (!Ipv4::InSubnet(gw, address, prefix))
        return QStringLiteral("the gateway %1 is not in the subnet of %2/%3")
            .arg(gateway, localIp, mask);
    kind = SwitchFailure::GatewayNetworkOrBroadcast;
    if (Ipv4::IsNetworkOrBroadcast(gw, address, prefix))
        return QStringLiteral("the gateway %1 is the network or broadcast address of %2/%3")
            .arg(gateway, localIp, mask);
    kind = SwitchFailure::None;
    return QString();
}

QByteArray EncodeSwitchRequest(const AdapterSettings& settings) {
    const QString values[] = {settings.gateway, settings.primaryDns, settings.secondaryDns,
                              settings.localIp, settings.subnetMask};
    QByteArray out(kRequestHeader);
    out.append('\n');
    for (int i = 0; i < 5; ++i)
        out.append(kRequestKeys[i]).append('=').append(values[i].trimmed().toLatin1()).append('\n');
    return out;
}

std::optional<AdapterSettings> DecodeSwitchRequest(QByteArrayView bytes) {
    if (bytes.size() > kMaxSwitchRequestBytes)
        return std::nullopt;
    const auto values =
        Fields(bytes, kRequestHeader,
               QList<const char*>(std::begin(kRequestKeys), std::end(kRequestKeys)));
    if (!values)
        return std::nullopt;
    for (QByteArrayView value : *values) {
        if (!IsAddressText(value))
            return std::nullopt;
    }
    auto text = [&](int i) { return QString::fromLatin1((*values)[i]); };
    return AdapterSettings{text(3), text(4), text(0), text(1), text(2)};
}

QByteArray EncodeSwitchReply(const SwitchReply& reply) {
    QByteArray out(kReplyHeader);
    out.append("\ncode=")
        .append(QByteArray::number(static_cast<int>(reply.failure)))
        .append("\ntext=");
    QString line = reply.text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    QByteArray text = line.toUtf8();
    const qsizetype room = kMaxSwitchReplyBytes - out.size() - 1;
    if (text.size() > room) {
        // Cut on a character boundary: drop continuation bytes left at the end.
        text.truncate(room);
        while (!text.isEmpty() && (static_cast<uchar>(text.back()) & 0xC0) == 0x80)
            text.chop(1);
        if (!text.isEmpty() && static_cast<uchar>(text.back()) >= 0xC0)
            text.chop(1);
    }
    return out.append(text).append('\n');
}

std::optional<SwitchReply> DecodeSwitchReply(QByteArrayView bytes) {
    if (bytes.size() > kMaxSwitchReplyBytes)
        return std::nullopt;
    const auto values = Fields(bytes, kReplyHeader, {"code", "text"});
    if (!values)
        return std::nullopt;
    const QByteArrayView code = (*values)[0];
    if (code.isEmpty() || code.size() > 3)
        return std::nullopt;
    int number = 0;
    for (char c : code) {
        if (c < '0' || c > '9')
            return std::nullopt;
        number = number * 10 + (c - '0');
    }
    if (number > static_cast<int>(SwitchFailure::RateLimited))
        return std::nullopt;
    return SwitchReply{static_cast<SwitchFailure>(number), QString::fromUtf8((*values)[1])};
}

} // namespace torvane

#include "common/ipv4.h"

#include <QStringList>

namespace torvane {

namespace Ipv4 {

bool Parse(const QString& text, quint32* address) {
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    quint32 value = 0;
    for (const QString& part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return false;
        for (QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
        const uint octet = part.toUInt();
        if (octet > 255)
            return false;
        value = (value << 8) | octet;
    }
    if (address)
        *address = value;
    return true;
}

QString Format(quint32 address) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg((address >> 16) & 0xff)
        .arg((address >> 8) & 0xff)
        .arg(address & 0xff);
}

bool HasLeadingZero(const QString& text) {
    for (const QString& part : text.split(QLatin1Char('.'))) {
        if (part.size() > 1 && part.startsWith(QLatin1Char('0')))
            return true;
    }
    return false;
}

quint32 PrefixToBits(int prefix) {
    if (prefix <= 0)
        return 0;
    if (prefix >= 32)
        return 0xffffffffu;
    return ~((1u << (32 - prefix)) - 1);
}

int MaskToPrefix(const QString& mask) {
    quint32 bits = 0;
    if (!Parse(mask, &bits))
        return -1;
    int prefix = 0;
    while (prefix < 32 && (bits & (0x80000000u >> prefix)))
        ++prefix;
    // Any one bit after the first zero makes the mask non-contiguous.
    if (bits != PrefixToBits(prefix))
        return -1;
    return prefix;
}

QString PrefixToMask(int prefix) {
    if (prefix < 0 || prefix > 32)
        return QString();
    return Format(PrefixToBits(prefix));
}

bool InSubnet(quint32 address, quint32 network, int prefix) {
    const quint32 bits = PrefixToBits(prefix);
    return (address & bits) == (network & bits);
}

bool IsNetworkOrBroadcast(quint32 address, quint32 network, int prefix) {
    if (prefix >= 31 || !InSubnet(address, network, prefix))
        return false;
    const quint32 host = address & ~PrefixToBits(prefix);
    return host == 0 || host == ~PrefixToBits(prefix);
}

} // namespace Ipv4

} // namespace torvane

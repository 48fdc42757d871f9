#pragma once

#include <QString>
#include <QtGlobal>

namespace torvane {

// IPv4 addresses as host-order numbers, and the conversions between dotted-quad masks and
// prefix lengths that the adapter layer needs.
namespace Ipv4 {

// Strict dotted quad: four decimal parts 0..255, no spaces, no leading '+', at most 3 digits.
bool Parse(const QString& text, quint32* address);
QString Format(quint32 address);
// True when a part of the dotted text has a leading zero ("09", "010"): tools that read such a
// part as octal, or refuse it, disagree with what was meant.
bool HasLeadingZero(const QString& text);

// Prefix length of a contiguous dotted-quad mask (0..32), or -1 when the text is no mask.
int MaskToPrefix(const QString& mask);
// Dotted-quad mask of a prefix length (0..32); an empty text outside that range.
QString PrefixToMask(int prefix);
quint32 PrefixToBits(int prefix);

// True when address lies in the subnet network/prefix.
bool InSubnet(quint32 address, quint32 network, int prefix);
// True when address is the network or the broadcast address of network/prefix; a /31 or /32
// has neither.
bool IsNetworkOrBroadcast(quint32 address, quint32 network, int prefix);

} // namespace Ipv4

} // namespace torvane

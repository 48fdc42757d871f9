#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

namespace torvane {

// What a switch applies to the workstation's adapter; empty localIp = keep address and mask.
// The same shape is the one request the privileged switching service accepts, so the window,
// the service on Linux and the service on Windows check it with the same rules.
struct AdapterSettings {
    QString localIp, subnetMask, gateway, primaryDns, secondaryDns;

    bool operator==(const AdapterSettings&) const = default;
};

// Why a switch failed, coarse enough for the words the user reads in the window; the details
// (which file, which link, the system's error) stay in the outcome's text for the log. The
// numbers travel in the service's reply: never renumber, only add.
enum class SwitchFailure {
    None = 0,                       // the switch succeeded
    Busy = 1,                       // another switch was still running
    InvalidSettings = 2,            // an address, mask or DNS server that cannot be applied
    NoPermission = 3,               // no right to change the adapter
    ResolverManaged = 4,            // the resolver file belongs to another service
    ResolverNotWritable = 5,        // the resolver file cannot be written by this user
    NoAdapter = 6,                  // no active adapter with an IPv4 address
    GatewayIsOwnAddress = 7,        // the gateway is an address of this host
    GatewayOnNoAdapter = 8,         // no adapter's subnet holds the gateway
    GatewayOutsideNewSubnet = 9,    // the gateway lies outside the subnet of the new local IP
    GatewayNetworkOrBroadcast = 10, // the gateway is a subnet's network or broadcast address
    AddressRefused = 11,            // the system refused the new address
    RouteRefused = 12,              // the system refused the new default route
    ResolverWriteFailed = 13,       // the resolver file could not be written
    Other = 14,                     // anything else (the backend could not even start)
    ServiceUnavailable = 15,        // the switching service could not be reached
    RateLimited = 16,               // the switching service refused: too many switches
};

// Checks the settings alone (addresses, mask, DNS, the gateway against a new subnet); an empty
// text when they are sound. A refusal's kind goes to failure when given.
QString CheckAdapterSettings(const AdapterSettings& settings, SwitchFailure* failure = nullptr);

// The switching service's messages. A request is the text
//   "TORVANE-SWITCH 1\ngateway=G\nprimary=P\nsecondary=S\naddress=A\nmask=M\n"
// with the keys in that order, values of digits and dots only (empty allowed), at most
// kMaxSwitchRequestBytes in all. A reply is
//   "TORVANE-SWITCHED 1\ncode=N\ntext=T\n"
// with N a SwitchFailure number and T one line of UTF-8, at most kMaxSwitchReplyBytes in all.
// The transport carries one whole message (a D-Bus byte array, a message-mode pipe).
inline constexpr int kMaxSwitchRequestBytes = 256;
inline constexpr int kMaxSwitchReplyBytes = 1024;

QByteArray EncodeSwitchRequest(const AdapterSettings& settings);
// nullopt for anything but a request of exactly the shape above (the values are not yet
// checked: CheckAdapterSettings does that).
std::optional<AdapterSettings> DecodeSwitchRequest(QByteArrayView bytes);

struct SwitchReply {
    SwitchFailure failure = SwitchFailure::Other;
    QString text; // the reason when failure != None, for the log and the window's details

    bool operator==(const SwitchReply&) const = default;
};

// The text is cut to one line and to what fits.
QByteArray EncodeSwitchReply(const SwitchReply& reply);
std::optional<SwitchReply> DecodeSwitchReply(QByteArrayView bytes);

} // namespace torvane

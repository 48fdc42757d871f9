#pragma once

// The IP Helper, DNS and registry calls the Windows adapter code makes, as a table of functions:
// the system's own by default, fakes in tests (the calls that change the adapter cannot be tried
// for real on a build machine, and some are missing on older systems).

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// The order matters: Winsock before the rest, the IP Helper's types after the socket types.
#include <winsock2.h>

#include <ws2ipdef.h>

#include <windows.h>

#include <iphlpapi.h>

#include <netioapi.h>

#include <QList>
#include <QString>

#include <functional>

namespace torvane::client {

// SetInterfaceDnsSettings' argument (Windows 10 2004 and later). Declared here because the
// MinGW headers do not have it yet; the layout is the system's.
struct DnsInterfaceSettings {
    ULONG Version;
    ULONG64 Flags;
    PWSTR Domain;
    PWSTR NameServer; // comma-separated addresses
    PWSTR SearchList;
    ULONG RegistrationEnabled;
    ULONG RegisterAdapterName;
    ULONG EnableLLMNR;
    ULONG QueryAdapterName;
    PWSTR ProfileNameServer;
};
inline constexpr ULONG kDnsInterfaceSettingsVersion1 = 1;
inline constexpr ULONG64 kDnsSettingNameServer = 0x0002;

struct IpHelperApi {
    // Reading (also what the inspection uses).
    std::function<ULONG(ULONG family, ULONG flags, IP_ADAPTER_ADDRESSES* buffer, ULONG* size)>
        getAdaptersAddresses;
    std::function<DWORD(FIXED_INFO* buffer, ULONG* size)> getNetworkParams;
    // The IPv4 rows of GetIpForwardTable2, copied out so that the MIB table is freed at once.
    std::function<DWORD(QList<MIB_IPFORWARD_ROW2>* rows)> getIpv4ForwardTable;

    // Default route.
    std::function<void(MIB_IPFORWARD_ROW2* row)> initializeIpForwardEntry;
    std::function<DWORD(const MIB_IPFORWARD_ROW2& row)> createIpForwardEntry2;
    std::function<DWORD(const MIB_IPFORWARD_ROW2& row)> deleteIpForwardEntry2;

    // Address and mask.
    std::function<void(MIB_UNICASTIPADDRESS_ROW* row)> initializeUnicastIpAddressEntry;
    std::function<DWORD(const MIB_UNICASTIPADDRESS_ROW& row)> createUnicastIpAddressEntry;
    std::function<DWORD(const MIB_UNICASTIPADDRESS_ROW& row)> deleteUnicastIpAddressEntry;

    // DNS servers: SetInterfaceDnsSettings where the system has it (else empty), otherwise the
    // interface's NameServer registry value followed by a flush of the resolver cache.
    std::function<DWORD(const GUID& interfaceGuid, const DnsInterfaceSettings& settings)>
        setInterfaceDnsSettings;
    // guid in registry form "{…}"; servers comma-separated.
    std::function<DWORD(const QString& interfaceGuid, const QString& servers)> writeNameServerValue;
    std::function<bool()> flushResolverCache; // empty when the system lacks it
};

// The system's functions. The calls that change the adapter and those newer than Windows 7 are
// looked up at run time, so the programs start on every system (and under Wine, which lacks
// some); one the system lacks stays empty.
IpHelperApi SystemIpHelperApi();

// "error N (the system's text)" for the log and the window's details.
QString WindowsErrorText(DWORD error);

} // namespace torvane::client

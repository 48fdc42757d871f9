#include "client/adapter/windows/iphelperapi.h"

namespace torvane::client {

namespace {

template <typename Function> Function Resolve(HMODULE module, const char* name) {
    if (!module)
        return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

HMODULE SystemLibrary(const wchar_t* name) {
    // Loaded from the system folder only, never from the program's folder or the current one.
    return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

} // namespace

IpHelperApi SystemIpHelperApi() {
    using GetForwardTable2Fn = NETIO_STATUS(WINAPI*)(ADDRESS_FAMILY, PMIB_IPFORWARD_TABLE2*);
    using FreeMibTableFn = VOID(WINAPI*)(PVOID);
    using InitForwardFn = VOID(WINAPI*)(PMIB_IPFORWARD_ROW2);
    using ForwardFn = NETIO_STATUS(WINAPI*)(const MIB_IPFORWARD_ROW2*);
    using InitUnicastFn = VOID(WINAPI*)(PMIB_UNICASTIPADDRESS_ROW);
    using UnicastFn = NETIO_STATUS(WINAPI*)(const MIB_UNICASTIPADDRESS_ROW*);
    using SetDnsFn = DWORD(WINAPI*)(GUID, const DnsInterfaceSettings*);
    using FlushFn = BOOL(WINAPI*)();

    const HMODULE iphlpapi = SystemLibrary(L"iphlpapi.dll");
    const HMODULE dnsapi = SystemLibrary(L"dnsapi.dll");

    IpHelperApi api;
    api.getAdaptersAddresses = [](ULONG family, ULONG flags, IP_ADAPTER_ADDRESSES* buffer,
                                  ULONG* size) {
        return ::GetAdaptersAddresses(family, flags, nullptr, buffer, size);
    };
    api.getNetworkParams = [](FIXED_INFO* buffer, ULONG* size) {
        return ::GetNetworkParams(buffer, size);
    };

    const auto getTable = Resolve<GetForwardTable2Fn>(iphlpapi, "GetIpForwardTable2");
    const auto freeTable = Resolve<FreeMibTableFn>(iphlpapi, "FreeMibTable");
    if (getTable && freeTable) {
        api.getIpv4ForwardTable = [getTable, freeTable](QList<MIB_IPFORWARD_ROW2>* rows) {
            PMIB_IPFORWARD_TABLE2 table = nullptr;
            const DWORD result = getTable(AF_INET, &table);
            if (result != NO_ERROR)
                return result;
            rows->clear();
            for (ULONG i = 0; i < table->NumEntries; ++i)
                rows->append(table->Table[i]);
            freeTable(table);
            return DWORD(NO_ERROR);
        };
    }
    if (const auto init = Resolve<InitForwardFn>(iphlpapi, "InitializeIpForwardEntry"))
        api.initializeIpForwardEntry = [init](MIB_IPFORWARD_ROW2* row) { init(row); };
    if (const auto create = Resolve<ForwardFn>(iphlpapi, "CreateIpForwardEntry2"))
        api.createIpForwardEntry2 = [create](const MIB_IPFORWARD_ROW2& row) {
            return DWORD(create(&row));
        };
    if (const auto remove = Resolve<ForwardFn>(iphlpapi, "DeleteIpForwardEntry2"))
        api.deleteIpForwardEntry2 = [remove](const MIB_IPFORWARD_ROW2& row) {
            return DWORD(remove(&row));
        };
    if (const auto init = Resolve<InitUnicastFn>(iphlpapi, "InitializeUnicastIpAddressEntry"))
        api.initializeUnicastIpAddressEntry = [init](MIB_UNICASTIPADDRESS_ROW* row) { init(row); };
    if (const auto create = Resolve<UnicastFn>(iphlpapi, "CreateUnicastIpAddressEntry"))
        api.createUnicastIpAddressEntry = [create](const MIB_UNICASTIPADDRESS_ROW& row) {
            return DWORD(create(&row));
        };
    if (const auto remove = Resolve<UnicastFn>(iphlpapi, "DeleteUnicastIpAddressEntry"))
        api.deleteUnicastIpAddressEntry = [remove](const MIB_UNICASTIPADDRESS_ROW& row) {
            return DWORD(remove(&row));
        };
    if (const auto setDns = Resolve<SetDnsFn>(iphlpapi, "SetInterfaceDnsSettings"))
        api.setInterfaceDnsSettings = [setDns](const GUID& guid,
                                               const DnsInterfaceSettings& settings) {
            return setDns(guid, &settings);
        };
    api.writeNameServerValue = [](const QString& interfaceGuid, const QString& servers) {
        const std::wstring key =
            (QStringLiteral(
                 "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\") +
             interfaceGuid)
                .toStdWString();
        const std::wstring value = servers.toStdWString();
        return DWORD(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"NameServer", REG_SZ,
                                       value.c_str(), DWORD((value.size() + 1) * sizeof(wchar_t))));
    };
    if (const auto flush = Resolve<FlushFn>(dnsapi, "DnsFlushResolverCache"))
        api.flushResolverCache = [flush] { return flush() != FALSE; };
    return api;
}

QString WindowsErrorText(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString message = length ? QString::fromWCharArray(text, int(length)).trimmed() : QString();
    if (text)
        ::LocalFree(text);
    if (message.isEmpty())
        return QStringLiteral("error %1").arg(error);
    return QStringLiteral("error %1 (%2)").arg(error).arg(message);
}

} // namespace torvane::client

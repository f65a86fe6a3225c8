// Port-type table and its lookup.
#include "app/ProductConfig.h"

namespace {

wchar_t FoldAscii(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    }
    return true;
}

}  // namespace

const std::array<PortTypeEntry, 7> kPortTypeTable = {{
    {L"Ethernet1", 0x11},
    {L"Ethernet2", 0x12},
    {L"Ethernet3", 0x13},
    {L"Ethernet4", 0x14},
    {L"USB", 0x21},
    {L"DLL_USB", 0x41},
    {L"DLL_Ethernet1", 0x81},
}};

std::uint32_t LookupPortType(std::wstring_view name) {
    for (const PortTypeEntry& entry : kPortTypeTable) {
        if (EqualsIgnoringCase(name, entry.name)) return entry.flags;
    }
    return 0;
}

std::uint32_t LoadPortType(const IStringTable& strings) {
    std::wstring name;
    if (!strings.Load(IDS_CFG_PORT_TYPE, name)) return 0;
    return LookupPortType(name);
}

// The port-type table and string 205 of the product configuration.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "app/ProductConfig.h"
#include "app/resource.h"
#include "common/StringTable.h"

namespace {

struct PortCase {
    const wchar_t* name;
    std::uint32_t flags;
};

TEST(LookupPortType, FindsEveryEntryInAnyLetterCase) {
    const PortCase cases[] = {
        {L"Ethernet1", 0x11},
        {L"Ethernet2", 0x12},
        {L"Ethernet3", 0x13},
        {L"Ethernet4", 0x14},
        {L"USB", 0x21},
        {L"DLL_USB", 0x41},
        {L"DLL_Ethernet1", 0x81},
        {L"DLL_ETHERNET1", 0x81},
        {L"dll_ethernet1", 0x81},
        {L"eThErNeT3", 0x13},
        {L"usb", 0x21},
        {L"Dll_Usb", 0x41},
    };
    for (const PortCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "name \"" << c.name << "\"");
        EXPECT_EQ(LookupPortType(c.name), c.flags);
    }
}

TEST(LookupPortType, AnythingElseIsZero) {
    const wchar_t* const names[] = {
        L"",
        L"Ethernet",
        L"Ethernet5",
        L"Ethernet10",
        L"USB ",
        L" USB",
        L"DLL-USB",
        L"DLL_Ethernet",
        L"Serial",
        // Case folding is for letters only: clearing bit 5 would match these.
        (L"DLL\x7F" L"USB"),  // '_' | 0x20
        L"Ethernet\x11",      // '1' & ~0x20
        L"\u00DCSB",          // 'U' with a diaeresis
        L"\U0001F600",
    };
    for (const wchar_t* name : names) {
        SCOPED_TRACE(testing::Message() << "name \"" << name << "\"");
        EXPECT_EQ(LookupPortType(name), 0u);
    }
    // A name that only begins like an entry does not match it.
    EXPECT_EQ(LookupPortType(std::wstring(L"USB\0", 4)), 0u);
}

TEST(LookupPortType, FamiliesDecideTheUsbBehaviour) {
    // Only the two USB families offer automatic detection; only DLL_Ethernet1 creates a port.
    for (const PortTypeEntry& entry : kPortTypeTable) {
        const std::wstring name = entry.name;
        SCOPED_TRACE(testing::Message() << "name \"" << name << "\"");
        const std::uint32_t flags = LookupPortType(name);
        EXPECT_EQ((flags & kPortUsbMask) != 0, name == L"USB" || name == L"DLL_USB");
        EXPECT_EQ(flags == kPortTypeDllEthernet1, name == L"DLL_Ethernet1");
    }
    EXPECT_EQ(LookupPortType(L"nothing") & kPortUsbMask, 0u);
}

TEST(LoadPortType, ReadsString205) {
    MapStringTable strings{{IDS_CFG_PORT_TYPE, L"DLL_ETHERNET1"}, {IDS_CFG_SERIES_NAME, L"USB"}};
    EXPECT_EQ(LoadPortType(strings), 0x81u);

    strings.Set(IDS_CFG_PORT_TYPE, L"usb");
    EXPECT_EQ(LoadPortType(strings), 0x21u);

    strings.Set(IDS_CFG_PORT_TYPE, L"Parallel");
    EXPECT_EQ(LoadPortType(strings), 0u);

    // An empty entry counts as missing.
    strings.Set(IDS_CFG_PORT_TYPE, L"");
    EXPECT_EQ(LoadPortType(strings), 0u);

    strings.Remove(IDS_CFG_PORT_TYPE);
    EXPECT_EQ(LoadPortType(strings), 0u);
}

}  // namespace

// The printers the user can choose from: those the maker's print-management software registered
// (DeviceInfo.xml) and those that answered the mDNS search. The main dialog owns the list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct CPrinterInfo {
    static constexpr int kNetwork = 0;
    static constexpr int kUsb = 1;

    // A network printer; `address` in host byte order.
    CPrinterInfo(std::wstring model, std::uint32_t address, std::wstring nickName, std::wstring service,
                 std::wstring serial);
    // A USB printer.
    CPrinterInfo(std::wstring model, std::wstring usbPortName, std::wstring nickName, std::wstring serial);

    int m_nPortType;
    std::wstring m_strModel;
    std::wstring m_strNickName;
    std::wstring m_strUSBPortName;
    std::uint32_t m_dwIPAddress;
    std::wstring m_strService;
    std::wstring m_strSerialNum;
};

// Owns its entries; insertion order.
class CPrinterInfoList {
public:
    std::size_t GetSize() const { return m_items.size(); }
    CPrinterInfo& operator[](std::size_t i) { return *m_items[i]; }
    const CPrinterInfo& operator[](std::size_t i) const { return *m_items[i]; }
    void Add(std::unique_ptr<CPrinterInfo> item) { m_items.push_back(std::move(item)); }
    // Removes every entry `drop` selects, in one pass: the others keep their order. How many went.
    template <typename Predicate>
    std::size_t RemoveIf(Predicate drop) {
        return std::erase_if(m_items, [&](const std::unique_ptr<CPrinterInfo>& item) { return drop(*item); });
    }

private:
    std::vector<std::unique_ptr<CPrinterInfo>> m_items;
};

// The mDNS search's decisions: query, repeats, collecting, candidates.
#include "discovery/MdnsSearch.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

constexpr wchar_t kMakerPrefix[] = L"Corvane_";

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// The model and serial a service text names, when it names a supported printer of ours.
struct Announced {
    std::wstring model;
    std::wstring serial;
};

std::optional<Announced> ReadServiceText(const std::wstring& text, const IModelInfo* models) {
    const std::size_t space = text.find(L' ');
    if (space == std::wstring::npos || space == 0) return std::nullopt;
    const std::wstring_view label = std::wstring_view(text).substr(0, space);

    wchar_t closing = L')';
    std::size_t open = label.find(L'(');
    if (open == std::wstring_view::npos || open < 1) {
        open = label.find(L'[');
        if (open == std::wstring_view::npos || open < 1) return std::nullopt;
        closing = L']';
    }
    const std::size_t close = label.find(closing, open + 1);
    if (close == std::wstring_view::npos) return std::nullopt;
    // The character before the bracket stands for the space in front of it.
    const std::wstring_view name = label.substr(0, open - 1);
    const std::wstring_view serial = label.substr(open + 1, close - open - 1);

    const std::size_t prefix = name.find(kMakerPrefix);
    if (prefix == std::wstring_view::npos) return std::nullopt;
    const std::wstring_view model = name.substr(prefix + std::wstring_view(kMakerPrefix).size());
    if (!models || !models->IsSupportedModel(model, true)) return std::nullopt;
    return Announced{std::wstring(model), std::wstring(serial)};
}

}  // namespace

std::optional<std::wstring_view> ServiceKey(const std::wstring& text) {
    const std::size_t space = text.find(L' ');
    if (space == std::wstring::npos) return std::nullopt;
    return std::wstring_view(text).substr(0, space + 1);
}

void KeyedAdd(std::vector<CMDNSService>& services, CMDNSService service) {
    const std::optional<std::wstring_view> key = ServiceKey(service.m_strText);
    if (!key) return;
    std::erase_if(services, [&](const CMDNSService& s) { return ServiceKey(s.m_strText) == key; });
    services.push_back(std::move(service));
}

MdnsQuery BuildQuery(std::uint16_t id) {
    MdnsQuery query{};
    query[0] = static_cast<std::uint8_t>(id & 0xFF);
    query[1] = static_cast<std::uint8_t>(id >> 8);
    query[5] = 1;  // QDCOUNT
    std::size_t at = 12;
    const std::string_view name = dns::kPrinterService;
    for (std::size_t start = 0; start <= name.size();) {
        std::size_t dot = name.find('.', start);
        if (dot == std::string_view::npos) dot = name.size();
        const std::string_view label = name.substr(start, dot - start);
        query[at++] = static_cast<std::uint8_t>(label.size());
        std::memcpy(query.data() + at, label.data(), label.size());
        at += label.size();
        start = dot + 1;
    }
    query[at++] = 0;
    query[at++] = 0x00;  // QTYPE PTR
    query[at++] = 0x0C;
    query[at++] = 0x80;  // QCLASS IN, unicast response requested
    query[at++] = 0x01;
    return query;
}

bool MdnsReceiver::OnDatagram(const ReceiveBuffer& buffer, int received, const SocketAddressBytes& from,
                              const std::wstring& source, LastDatagram& last) {
    if (received < 0) return false;
    if (received == m_nLastLen && from == last.from && buffer == last.buffer) return false;
    m_nLastLen = received;
    const dns::DecodeResult result = dns::ParseMessage(buffer.data(), static_cast<std::size_t>(received));
    if (result.serviceSeen) {
        for (const std::wstring& text : result.serviceTexts) KeyedAdd(m_services, CMDNSService{text, source});
    }
    last.from = from;
    last.buffer = buffer;
    return true;
}

std::uint32_t DottedToHostOrder(std::wstring_view text) {
    constexpr std::uint32_t kNone = 0xFFFFFFFF;
    std::uint32_t address = 0;
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != L'.') return kNone;
            ++at;
        }
        std::uint32_t value = 0;
        std::size_t digits = 0;
        while (at < text.size() && text[at] >= L'0' && text[at] <= L'9' && digits < 4) {
            value = value * 10 + static_cast<std::uint32_t>(text[at] - L'0');
            ++at;
            ++digits;
        }
        if (digits == 0 || value > 255) return kNone;
        address = (address << 8) | value;
    }
    return at == text.size() ? address : kNone;
}

void AddCandidates(const std::vector<CMDNSService>& services, CPrinterInfoList& list, const IModelInfo* models) {
    for (const CMDNSService& service : services) {
        const std::optional<Announced> announced = ReadServiceText(service.m_strText, models);
        if (!announced) continue;
        const std::uint32_t address = DottedToHostOrder(service.m_strSource.substr(0, 63));

        bool matched = false;
        for (std::size_t i = 0; i < list.GetSize() && !matched; ++i) {
            CPrinterInfo& entry = list[i];
            // A registered printer whose model name is not how the printer announces itself is
            // still the same printer when its serial says so.
            const bool sameSerial =
                !StartsWith(announced->model, entry.m_strModel) && entry.m_strSerialNum == announced->serial;
            if (entry.m_dwIPAddress != address && !sameSerial) continue;
            entry.m_dwIPAddress = address;
            entry.m_strModel = announced->model;
            entry.m_strService = service.m_strText;
            entry.m_strSerialNum = announced->serial;
            matched = true;
        }
        if (!matched) {
            list.Add(std::make_unique<CPrinterInfo>(announced->model, address, std::wstring(), service.m_strText,
                                                    announced->serial));
        }
    }
}

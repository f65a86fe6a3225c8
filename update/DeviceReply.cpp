// Parsing of the information reply.
#include "update/DeviceReply.h"

#include "common/Text.h"

namespace {

constexpr std::size_t kStatusWordLength = 8;
constexpr std::int32_t kStatusWordTag = 1;

// The framework's Mid(first, count): clamped to the text, empty for a negative count.
std::wstring_view Mid(std::wstring_view s, std::size_t first, std::ptrdiff_t count) {
    if (count <= 0 || first >= s.size()) return {};
    return s.substr(first, static_cast<std::size_t>(count));
}

}  // namespace

bool ParseDeviceReply(ReplyMap& map, std::wstring_view text) {
    map.clear();
    const std::size_t length = text.size();
    std::size_t p = 0;
    while (p < length) {
        const std::size_t colon = text.find(L':', p);
        const std::size_t separator = text.find(L';', p);
        const std::size_t end = separator == std::wstring_view::npos ? length : separator;

        std::wstring_view key;
        std::size_t valueStart = 0;  // with no colon at all the value runs from the start of the text
        if (colon != std::wstring_view::npos) {
            key = text.substr(p, colon - p);
            valueStart = colon + 1;
        }
        const std::wstring_view value =
            Mid(text, valueStart, static_cast<std::ptrdiff_t>(end) - static_cast<std::ptrdiff_t>(valueStart));
        map.insert_or_assign(std::wstring(key), std::wstring(value));
        p = end + 1;
    }
    return !map.empty();
}

const std::wstring* FindReplyValue(const ReplyMap& map, const std::wstring& key) {
    const auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
}

std::int32_t GetReplyVersion(const ReplyMap& map) {
    const std::wstring* value = FindReplyValue(map, L"VER");
    return value ? VersionTextToInt(*value) : -1;
}

PanelVersion GetReplyPanelVersion(const ReplyMap& map) {
    const std::wstring* value = FindReplyValue(map, L"PANEL");
    return value ? ParsePanelVersion(std::wstring_view(*value)) : PanelVersion{};
}

bool IsReplyIplMode(const ReplyMap& map) {
    const std::wstring* value = FindReplyValue(map, L"MODE");
    return value && *value == L"IPL";
}

bool IsReplySecure(const ReplyMap& map) {
    const std::wstring* value = FindReplyValue(map, L"SECURITY");
    return value && !value->empty() && *value != L"0.00";
}

bool ExtractStatusItem(std::wstring& out, std::wstring_view value, int statusFormat) {
    out.clear();
    if (statusFormat == kStatusFormatWord) {
        if (value.size() >= kStatusWordLength) out = value.substr(0, kStatusWordLength);
    } else if (statusFormat == kStatusFormatTagged) {
        std::size_t p = 0;
        while (p < value.size()) {
            const std::int32_t tag = text::ReadLong(Mid(value, p, 2), 16);
            const std::int32_t itemLength = text::ReadLong(Mid(value, p + 2, 2), 16);
            if (itemLength < 0) break;  // a negative length would step backwards
            if (tag == kStatusWordTag) {
                out = Mid(value, p + 4, itemLength);
                break;
            }
            p += 4 + static_cast<std::size_t>(itemLength);
        }
    }
    return !out.empty();
}

bool CheckReplyStatus(DeviceReply& reply, std::wstring_view text, int statusFormat) {
    reply.status.clear();
    if (!ParseDeviceReply(reply.map, text)) return false;
    if (IsReplyIplMode(reply.map)) return true;
    const std::wstring* status = FindReplyValue(reply.map, L"STATUS");
    if (!status) return false;
    return ExtractStatusItem(reply.status, *status, statusFormat);
}

// Information replies of any content: parsed, status word extracted in both layouts, readings
// taken. Every two input bytes make one UTF-16 code unit, so characters beyond ASCII occur too.
#include <cstddef>
#include <cstdint>
#include <string>

#include "update/DeviceReply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::wstring text;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    }
    for (int format : {kStatusFormatWord, kStatusFormatTagged}) {
        DeviceReply reply;
        if (CheckReplyStatus(reply, text, format) && !IsReplyIplMode(reply.map)) {
            if (reply.status.empty()) __builtin_trap();
        }
        GetReplyVersion(reply.map);
        GetReplyPanelVersion(reply.map);
        std::wstring status;
        ExtractStatusItem(status, text, format);
        if (status.size() > text.size()) __builtin_trap();
    }
    return 0;
}

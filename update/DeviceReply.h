// The printer's information reply: key/value pairs such as "MDL:Zentil-640;VER:3.40;", and the
// readings the update logic takes from it.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "images/Version.h"

using ReplyMap = std::unordered_map<std::wstring, std::wstring>;

// Layout of the "STATUS" value.
enum StatusFormat : int {
    kStatusFormatWord = -1,    // the first 8 characters are the status word
    kStatusFormatTagged = 0,   // tagged items; the item with tag 1 holds the status word
};

struct DeviceReply {
    ReplyMap map;
    std::wstring status;  // status word text found by CheckReplyStatus, empty until then
};

// Empties `map` and fills it with the pairs of `text`; a key met again takes the later value.
// True when the map holds at least one pair.
bool ParseDeviceReply(ReplyMap& map, std::wstring_view text);

// The value of `key`, or null when the reply has no such key.
const std::wstring* FindReplyValue(const ReplyMap& map, const std::wstring& key);

// Firmware version of "VER" in hundredths; -1 when the key is absent.
std::int32_t GetReplyVersion(const ReplyMap& map);

// Panel application version of "PANEL"; all zero when the key is absent.
PanelVersion GetReplyPanelVersion(const ReplyMap& map);

// True when "MODE" is exactly "IPL": the printer runs its boot loader.
bool IsReplyIplMode(const ReplyMap& map);

// True when the reply's "SECURITY" is present, not empty and not exactly "0.00": the printer
// wants TLS on its data and panel ports.
bool IsReplySecure(const ReplyMap& map);

// Finds the status word text in a "STATUS" value of the given layout. True when one was found.
bool ExtractStatusItem(std::wstring& out, std::wstring_view value, int statusFormat);

// Parses `text` into the reply and extracts its status word. True in IPL mode (status left
// empty) or when a status word was found.
bool CheckReplyStatus(DeviceReply& reply, std::wstring_view text, int statusFormat);

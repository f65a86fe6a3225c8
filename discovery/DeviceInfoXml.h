// Reading the maker's print-management software's DeviceInfo.xml: the printers its user registered.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "discovery/PrinterInfo.h"

// Appends the contents of every element `tag` in `text` to `contents`; the number appended.
int FindXmlElements(std::wstring_view text, std::vector<std::wstring>& contents, std::wstring_view tag);

// The first content of the element `tag` in `text`, else empty.
std::wstring GetXmlElement(std::wstring_view text, std::wstring_view tag);

// Appends one CPrinterInfo per usable DeviceInfo block of `text` to `list`; the number appended.
int ParseDeviceInfoXml(std::wstring_view text, CPrinterInfoList& list);

// The whole file content as UTF-16, from UTF-8 with or without a byte-order mark.
std::wstring Utf8FileText(std::string_view bytes);

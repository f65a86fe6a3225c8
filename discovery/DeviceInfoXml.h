// Reading the maker's print-management software's DeviceInfo.xml: the printers its user registered.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "discovery/PrinterInfo.h"

// Appends the contents of every element `tag` in `text` to `contents`; the number appended.
// Plain, case-sensitive text search: "<tag" followed by a space (attributes, up to the next '>')
// or by '>' opens the element, its content runs to the first "</tag>" after it, and the search
// goes on from the content's start, so a same-named element nested inside is found as well (and
// the contents then overlap). An element without its closing tag has no content. Entities are
// left as written and nothing is trimmed.
int FindXmlElements(std::wstring_view text, std::vector<std::wstring>& contents, std::wstring_view tag);

// The first content of the element `tag` in `text`, else empty.
std::wstring GetXmlElement(std::wstring_view text, std::wstring_view tag);

// Appends one CPrinterInfo per usable DeviceInfo block of `text` to `list`, in file order; the
// number appended. A block is a network printer when its ePortType is empty or 0 (it needs a
// uchIP other than 0), a USB printer when it is 1 (it needs a strUSBPortName), and skipped
// otherwise. Running out of memory ends the reading with the entries appended so far.
int ParseDeviceInfoXml(std::wstring_view text, CPrinterInfoList& list);

// The whole file content as UTF-16, from UTF-8 with or without a byte-order mark. A zero byte
// ends the text; malformed UTF-8 becomes U+FFFD. The result is UTF-16 code units on every build,
// so a character outside the basic plane is a surrogate pair even where wchar_t has 32 bits.
std::wstring Utf8FileText(std::string_view bytes);

// DeviceInfo.xml: plain text search for elements, and the printer records built from them.
#include "discovery/DeviceInfoXml.h"

int FindXmlElements(std::wstring_view, std::vector<std::wstring>&, std::wstring_view) { return 0; }

std::wstring GetXmlElement(std::wstring_view, std::wstring_view) { return {}; }

int ParseDeviceInfoXml(std::wstring_view, CPrinterInfoList&) { return 0; }

std::wstring Utf8FileText(std::string_view) { return {}; }

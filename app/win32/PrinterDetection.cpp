// Registered printers from DeviceInfo.xml, and the mDNS search.
#include "app/win32/PrinterDetection.h"

#include "discovery/DeviceInfoXml.h"
#include "discovery/win32/MdnsSocket.h"

int Win32PrinterDetection::ReadRegistered(int attempt, CPrinterInfoList& list) {
    const std::optional<std::wstring> path = m_path.Find(attempt);
    if (!path || path->empty()) return 0;
    return ParseDeviceInfoXml(ReadUtf8File(*path), list);
}

void Win32PrinterDetection::Discover(CPrinterInfoList& list, const IModelInfo* models, std::uint32_t timeoutMs) {
    CMDNSSearch search;
    search.m_dwTimeout = timeoutMs;
    search.EnumLocalAddresses();
    search.Run();  // a search that could not start finds nothing, which is all it can tell
    search.AddCandidates(list, models);
}

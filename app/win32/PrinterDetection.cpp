// Registered printers from DeviceInfo.xml, and the mDNS search.
#include "app/win32/PrinterDetection.h"

#include <winsock2.h>
#include <windows.h>

#include "common/ConfigurationIds.h"
#include "common/win32/ModuleResources.h"
#include "discovery/DeviceInfoXml.h"
#include "discovery/win32/MdnsSocket.h"
#include "update/UpdateModel.h"

Win32PrinterDetection::ModelList::ModelList(std::wstring_view list) : m_names(ParseModelList(list)) {}

bool Win32PrinterDetection::ModelList::IsSupportedModel(std::wstring_view name, bool suffix) const {
    return MatchesModelList(m_names, name, suffix);
}

// The same list the main dialog filters the registered printers by, read from the same string
// table, so that the bound on a file's entries counts printers the user can choose.
Win32PrinterDetection::Win32PrinterDetection() {
    std::wstring list;
    if (ModuleResources().Load(IDS_CFG_MODEL_LIST, list)) {
        m_configured.emplace(list);
        m_models = &*m_configured;
    }
}

Win32PrinterDetection::Win32PrinterDetection(const IModelInfo* models) : m_models(models) {}

int Win32PrinterDetection::ReadRegistered(int attempt, CPrinterInfoList& list) {
    if (m_stop && ::WaitForSingleObject(m_stop.get(), 0) == WAIT_OBJECT_0) return 0;
    const std::optional<std::wstring> path = m_path.Find(attempt);
    if (!path || path->empty() || *path == m_tooLarge) return 0;
    Utf8FileRead how = Utf8FileRead::kRead;
    const std::wstring text = ReadUtf8File(*path, kMostDeviceInfoBytes, &how, m_stop.get());
    if (how == Utf8FileRead::kTooLarge) m_tooLarge = *path;
    return ParseDeviceInfoXml(text, list, m_models, kMostRegisteredPrinters);
}

void Win32PrinterDetection::Discover(CPrinterInfoList& list, const IModelInfo* models, std::uint32_t timeoutMs) {
    CMDNSSearch search;
    search.m_dwTimeout = timeoutMs;
    search.EnumLocalAddresses();
    search.Run(m_stop.get());  // one that could not start, or was stopped, finds nothing
    search.AddCandidates(list, models);
}

void Win32PrinterDetection::Stop() {
    if (m_stop) ::SetEvent(m_stop.get());
}

// Where the installer finds printers on Windows: DeviceInfo.xml of the print-management software
// and the mDNS search on every local address.
#pragma once

#include "app/MainDialog.h"
#include "discovery/win32/DeviceInfoPath.h"

class Win32PrinterDetection final : public IPrinterDetection {
public:
    int ReadRegistered(int attempt, CPrinterInfoList& list) override;
    void Discover(CPrinterInfoList& list, const IModelInfo* models, std::uint32_t timeoutMs) override;

private:
    CDeviceInfoPath m_path;  // one locator for all attempts: a later attempt builds on an earlier one
};

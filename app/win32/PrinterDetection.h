// Where the installer finds printers on Windows: DeviceInfo.xml of the print-management software
// and the mDNS search on every local address.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <winsock2.h>
#include <windows.h>

#include "app/MainDialog.h"
#include "common/win32/UniqueHandle.h"
#include "common/ModelInfo.h"
#include "discovery/win32/DeviceInfoPath.h"

class Win32PrinterDetection final : public IPrinterDetection {
public:
    // Registered printers are listed when their model is one this program's configuration names
    // (all of them when the program names none).
    Win32PrinterDetection();
    // Registered printers are listed when `models` serves their model; all when null. `models`
    // must outlive the detection.
    explicit Win32PrinterDetection(const IModelInfo* models);
    // The detection may point at its own model list.
    Win32PrinterDetection(const Win32PrinterDetection&) = delete;
    Win32PrinterDetection& operator=(const Win32PrinterDetection&) = delete;

    // Appends at most kMostRegisteredPrinters printers of the served models from the file attempt
    // `attempt` finds. Returns how many usable entries the file holds, of other models too, so
    // that a file of printers the installer does not serve still ends the attempts.
    int ReadRegistered(int attempt, CPrinterInfoList& list) override;
    void Discover(CPrinterInfoList& list, const IModelInfo* models, std::uint32_t timeoutMs) override;
    // Ends a search under way within moments, and every later one at once, with nothing found.
    void Stop() override;

private:
    // A configured list of model names, matched as the main dialog matches registered printers.
    class ModelList final : public IModelInfo {
    public:
        explicit ModelList(std::wstring_view list);
        bool IsSupportedModel(std::wstring_view name, bool suffix) const override;

    private:
        std::vector<std::wstring> m_names;
    };

    CDeviceInfoPath m_path;  // one locator for all attempts: a later attempt builds on an earlier one
    // A file found too large to read, which the later attempts that find it again leave alone.
    std::wstring m_tooLarge;
    std::optional<ModelList> m_configured;
    const IModelInfo* m_models = nullptr;
    UniqueKernelObject m_stop{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};  // manual reset
};

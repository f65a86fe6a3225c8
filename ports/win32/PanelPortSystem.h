// The panel port on Windows: its system seam (the named mutex, the system's ANSI code page) and
// the real network port, which start-up registers as the panel application updater's port.
#pragma once

#include "ports/PanelNetworkPort.h"

class Win32PanelPortSystem final : public IPanelPortSystem {
public:
    std::unique_ptr<IHeldSystemObject> CreateNamedMutex(std::wstring_view name) override;
    std::wstring FromSystemAnsi(std::string_view text) override;
};

// The process's instance; never destroyed, like the network it is used with.
Win32PanelPortSystem& ProcessPanelPortSystem();

// A panel port over Winsock with the process's network, clock and system seam.
std::unique_ptr<CZPanelNetworkPort> MakePanelNetworkPort();

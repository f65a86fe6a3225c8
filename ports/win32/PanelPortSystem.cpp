// The named mutex through CreateMutexW, text from the system's ANSI code page, and the panel port
// over Winsock.
#include "ports/win32/PanelPortSystem.h"

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "common/win32/CodePage.h"
#include "common/win32/UniqueHandle.h"
#include "ports/win32/TlsStream.h"
#include "network/win32/WinsockNetwork.h"

namespace {

class HeldKernelObject final : public IHeldSystemObject {
public:
    explicit HeldKernelObject(UniqueKernelObject handle) : m_handle(std::move(handle)) {}

private:
    UniqueKernelObject m_handle;
};

}  // namespace

std::unique_ptr<IHeldSystemObject> Win32PanelPortSystem::CreateNamedMutex(std::wstring_view name) {
    const std::wstring terminated(name);
    // Not owned; when the mutex exists already this opens it, which is just as good: it is held,
    // never waited on.
    UniqueKernelObject handle(::CreateMutexW(nullptr, FALSE, terminated.c_str()));
    if (!handle) return nullptr;
    return std::make_unique<HeldKernelObject>(std::move(handle));
}

std::wstring Win32PanelPortSystem::FromSystemAnsi(std::string_view text) { return CodePageToWide(CP_ACP, text); }

Win32PanelPortSystem& ProcessPanelPortSystem() {
    static Win32PanelPortSystem* const system = new Win32PanelPortSystem;
    return *system;
}

std::unique_ptr<CZPanelNetworkPort> MakePanelNetworkPort() {
    return std::make_unique<CZPanelNetworkPort>(
        PanelPortEnvironment{ProcessNetwork(), SystemClock(), ProcessPanelPortSystem(), SystemTlsStreams()});
}

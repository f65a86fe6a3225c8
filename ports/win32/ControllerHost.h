// The controller library's host on Windows: the temporary directory, the library written from
// the program's resource DLL/146, LoadLibraryW/GetProcAddress/FreeLibrary, deleting the file
// (later, when someone else holds it open), message boxes and the ANSI code pages.
//
// Message boxes go through ShowUserMessage (common/win32/UserMessage.h), under the application's
// title: the presenter start-up registers shows them owned by the active dialog, on the
// user-interface thread, whichever thread asks. Neither writing nor loading the library lets the
// system show a box of its own (a drive that is not ready, a damaged image): the port tells the
// user itself.
#pragma once

#include <winsock2.h>  // before windows.h, so that both orders of inclusion work
#include <windows.h>

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ports/ControllerHost.h"

inline constexpr unsigned kControllerLibraryResourceId = 146;
inline constexpr wchar_t kControllerLibraryResourceType[] = L"DLL";

// Thread-safe: printer ports on several threads share the process's host.
class Win32ControllerHost final : public IControllerHost {
public:
    // `module` carries the library resource and the application title for message boxes.
    explicit Win32ControllerHost(HMODULE module = ::GetModuleHandleW(nullptr)) : m_module(module) {}

    // Makes the last attempt at the files that could not be deleted yet.
    ~Win32ControllerHost() override;

    Win32ControllerHost(const Win32ControllerHost&) = delete;
    Win32ControllerHost& operator=(const Win32ControllerHost&) = delete;

    std::wstring TempDirectory() override;
    WriteResult WriteLibrary(const std::wstring& path, std::wstring& report) override;
    Module Load(const std::wstring& path) override;
    ExportFn Resolve(Module module, const char* name) override;
    void Free(Module module) override;
    void DeleteLibraryFile(const std::wstring& path) override;
    void ShowMessage(const std::wstring& text) override;
    void ShowErrorMessage(const std::wstring& text) override;
    std::wstring FromThreadAnsi(std::string_view text) override;

    // Tries again to delete every file still waiting; those deleted (or already gone) are
    // forgotten, the others keep waiting. Every DeleteLibraryFile does this first.
    void DeletePendingFiles() noexcept;

    // Files still waiting to be deleted.
    std::vector<std::wstring> PendingDeletes() const;

private:
    void Show(const std::wstring& text, UINT style);

    HMODULE m_module;
    mutable std::mutex m_pendingMutex;
    std::vector<std::wstring> m_pendingDeletes;
};

// The process's host, on the program's own module. Created on first use and never destroyed,
// like the process's network: a printer port may still be released through it while the process
// ends (the identified printer's port goes with the update objects). The application therefore
// makes the last attempt at the files not deleted yet itself (DeletePendingFiles), after it has
// released that port.
Win32ControllerHost& ProcessControllerHost();

// Text in the system's ANSI code page (CP_ACP) as wide text; empty when nothing converts.
std::wstring SystemAnsiToWide(std::string_view text);

// The system's message for a Win32 error code, without the trailing line end; "error N" when
// the system has none.
std::wstring SystemErrorText(DWORD error);

// A printer port's own copy of the controller library in the temporary directory. The library
// keeps one connection per loaded module (a connect closes the one before), and loading a file
// that is loaded already only counts one more reference to the same module; so ports that talk to
// their printers at the same time, on threads of their own, each need a module, and therefore a
// file, of their own. The process's first file has the library's own name, "Tessaro.DLL", the one
// a single installation has always used; a port that needs the library while other ports hold
// theirs gets the lowest free of "Tessaro-2.DLL", "Tessaro-3.DLL", ... Base names differ, not only
// folders: a loader may hand out a loaded module of the same base name for the one asked for.
//
// The names are handed out process-wide under a lock: ports live on the user-interface thread and
// on the workers of the installations that run side by side. Only the port holding a file writes
// or deletes it, so nobody rewrites a file another port has loaded; its holder deletes it when it
// lets go, and only once the delete has been done (or left to the host, which deletes a file that
// cannot be deleted now later) is the name free again. Nothing is left behind.
#pragma once

#include <string>

#include "ports/ControllerHost.h"

inline constexpr wchar_t kControllerLibraryFileName[] = L"Tessaro.DLL";

// The name of the process's `number`-th library file, counted from 1: kControllerLibraryFileName,
// then "Tessaro-2.DLL", "Tessaro-3.DLL", ...
std::wstring ControllerLibraryFileName(int number);

class ControllerLibraryFile {
public:
    ControllerLibraryFile() = default;
    // Lets go of the file, as Release does.
    ~ControllerLibraryFile();

    ControllerLibraryFile(const ControllerLibraryFile&) = delete;
    ControllerLibraryFile& operator=(const ControllerLibraryFile&) = delete;

    // Takes a file of this user's own in `directory` (which ends with a separator) and writes the
    // library into it through `host`. A user that holds a file already keeps it and has it written
    // again (its module freed, it wants a fresh copy); one whose file is elsewhere lets go of that
    // one first. Whatever the answer, this holds the file until Release: a failed write may still
    // have created it, and Release deletes it.
    IControllerHost::WriteResult Acquire(IControllerHost& host, const std::wstring& directory, std::wstring& report);

    // Deletes the file through its host (which never fails: a file that cannot be deleted now is
    // deleted later) and frees its name. The caller frees its module first. Does nothing when
    // this holds no file.
    void Release() noexcept;

    bool Held() const { return m_host != nullptr; }
    // The file held; empty when none.
    const std::wstring& Path() const { return m_path; }

private:
    IControllerHost* m_host = nullptr;
    std::wstring m_directory;
    std::wstring m_path;
};

// A printer port's use of the controller library's file in the temporary directory. The file has
// one name for the whole process ("Tessaro.DLL" there, a name the installer keeps), so all the
// ports of the process share it: the first user has it written, the last one to let go has it
// deleted, and in between nobody writes it again while another port may have it loaded (a
// mapped library cannot be overwritten). The module itself needs no such care: loading the same
// file again counts one more reference to the module already loaded.
//
// The users are counted per file, process-wide, under a lock: ports live on the user-interface
// thread and on the workers of a quiet installation.
#pragma once

#include <string>

#include "ports/ControllerHost.h"

class ControllerLibraryFile {
public:
    ControllerLibraryFile() = default;
    // Lets go of the file, as Release does.
    ~ControllerLibraryFile();

    ControllerLibraryFile(const ControllerLibraryFile&) = delete;
    ControllerLibraryFile& operator=(const ControllerLibraryFile&) = delete;

    // Makes this a user of the file at `path` (letting go of another file it used) and answers
    // whether the whole library is in it. The file is written through `host` when no other user
    // relies on it: for the first user, for a sole user asking again (its module freed, it wants
    // a fresh copy), and when no earlier write succeeded. Otherwise the file stays as the first
    // user had it written, and this is kWritten. Whatever the answer, this stays a user until
    // Release: a failed write may still have created the file, and the last user deletes it.
    IControllerHost::WriteResult Acquire(IControllerHost& host, const std::wstring& path, std::wstring& report);

    // Stops using the file; when this was its last user, its host deletes it (which never fails:
    // a file that cannot be deleted now is deleted later). The caller frees its module first.
    // Does nothing when this uses no file.
    void Release() noexcept;

    bool Held() const { return m_host != nullptr; }
    // The file used; empty when none.
    const std::wstring& Path() const { return m_path; }

private:
    IControllerHost* m_host = nullptr;
    std::wstring m_path;
};

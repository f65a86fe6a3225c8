// What the printer port needs from the system to carry the controller library: the temporary
// directory, the library's file written from the installer's resources, loading and freeing it,
// looking up its exports, deleting its file, message boxes and the ANSI code page. The Windows
// implementation is in ports/win32/; tests use a fake that plays a library of fake objects.
#pragma once

#include <string>
#include <string_view>

class IControllerHost {
public:
    using Module = void*;             // null: no module
    using ExportFn = void* (*)();     // an export's address, called without arguments

    enum class WriteResult {
        kWritten,     // the whole library is in the file
        kNoResource,  // the installer carries no library; the file may have been created empty
        kFileError,   // the file could not be created or written; `report` says why
    };

    virtual ~IControllerHost() = default;

    // The user's temporary directory, ending with a separator; empty when there is none.
    virtual std::wstring TempDirectory() = 0;

    // Creates (or truncates) the file at `path`, shared with all other openers, and writes the
    // library resource (type "DLL", id 146) into it. A file at `path` still waiting to be deleted
    // (DeleteLibraryFile) no longer is: it now belongs to the caller, who deletes it in turn.
    virtual WriteResult WriteLibrary(const std::wstring& path, std::wstring& report) = 0;

    // Loads the library file; null when it cannot be loaded.
    virtual Module Load(const std::wstring& path) = 0;

    // The export `name` of a loaded module; null when missing.
    virtual ExportFn Resolve(Module module, const char* name) = 0;

    virtual void Free(Module module) = 0;

    // Deletes the file. When it cannot be deleted now (another program holds it open), it is
    // remembered and deleted at a later call or when the process ends, unless it is written again
    // before. Never fails the caller.
    virtual void DeleteLibraryFile(const std::wstring& path) = 0;

    // A message box with an OK button and no icon, owned by the dialog the user is working in
    // whichever thread asks; returns when the user closed it, or at once where nobody could (a
    // program with no user interface).
    virtual void ShowMessage(const std::wstring& text) = 0;

    // The same with the error icon.
    virtual void ShowErrorMessage(const std::wstring& text) = 0;

    // A zero-terminated text in the thread's ANSI code page, as wide text; empty when nothing
    // converts.
    virtual std::wstring FromThreadAnsi(std::string_view text) = 0;
};

// A controller-library host that plays a whole library of fake objects, for the printer port's
// tests: the temporary directory, the library file (a set of names), loading, the two exports,
// message boxes. Every request the port makes, of the host and of the library's objects, goes
// into one ordered list of lines, so a test reads what happened as a list.
//
// The fake objects refuse to be used while no module is loaded: a call after the library was
// unloaded fails the test. Like the system, each file loads as a module of its own (loading it
// again counts one more reference to that module), and the host neither writes nor deletes a file
// while a module loaded from it is still loaded (writing reports a sharing violation).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "controller/ControllerApi.h"
#include "ports/ControllerHost.h"

// What the fake library does.
struct FakeLibrary {
    bool loadable = true;
    bool remoteConnectExport = true;  // GetRemoteConnectAPI exists
    bool serviceToolExport = true;    // GetServiceToolAPI exists
    bool remoteConnectObject = true;  // the export returns an object, not null
    bool serviceToolObject = true;
    std::string remoteConnectVersion = "V100";
    std::string serviceToolVersion = "V100";

    bool connects = true;              // remote connect, slot 1
    std::uint32_t status = 0;          // slot 1
    std::uint32_t detail = 0;
    bool statusAnswer = true;
    std::string information = "MDL:Zentil-640;VER:3.30;";  // slot 3
    bool terminatesInformation = true;  // false: fills the whole buffer without a terminator
    bool startUpdateAnswer = true;      // slot 4
    bool rebootAnswer = true;           // slot 5
    int operationCode = 0;              // slot 10
};

class FakeControllerHost final : public IControllerHost {
public:
    FakeControllerHost();
    ~FakeControllerHost() override;
    FakeControllerHost(const FakeControllerHost&) = delete;
    FakeControllerHost& operator=(const FakeControllerHost&) = delete;

    std::wstring TempDirectory() override;
    WriteResult WriteLibrary(const std::wstring& path, std::wstring& report) override;
    Module Load(const std::wstring& path) override;
    ExportFn Resolve(Module module, const char* name) override;
    void Free(Module module) override;
    void DeleteLibraryFile(const std::wstring& path) override;
    void ShowMessage(const std::wstring& text) override;
    void ShowErrorMessage(const std::wstring& text) override;
    std::wstring FromThreadAnsi(std::string_view text) override;

    // The calls since the last TakeCalls, then forgets them. Lines: "write", "load", "resolve
    // NAME", "free", "delete" (host); "remote version", "connect ADDRESS", "service version",
    // "status", "info", "start ARG", "reboot", "opcode" (library).
    std::vector<std::string> TakeCalls();
    void Record(std::string line);
    bool ModuleLoaded() const { return loadedModules() > 0; }
    // References to loaded modules, all files together.
    int loadedModules() const;
    // The files that have a module loaded.
    std::set<std::wstring> LoadedFiles() const;

    FakeLibrary library;
    std::wstring tempDirectory = L"/fake/temp/";
    WriteResult writeResult = WriteResult::kWritten;
    std::wstring fileErrorReport = L"Cannot write /fake/temp/Tessaro.DLL: Access is denied.";
    bool filesHeldOpen = false;  // deleting leaves the file where it is, as with a scanner holding it

    std::set<std::wstring> files;        // the files that exist
    std::vector<std::wstring> messages;       // message boxes shown, in order
    std::vector<std::wstring> errorMessages;  // the same with the error icon
    int writes = 0;
    int loads = 0;

private:
    // The file a module handle stands for; null when it is none of them or not loaded.
    const std::wstring* LoadedPath(Module module) const;

    std::vector<std::string> m_calls;
    // Each file's references to its module; an entry's address is the module's handle.
    std::map<std::wstring, int> m_modules;
};

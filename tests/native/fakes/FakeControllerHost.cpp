// The fake host and its library's objects.
#include "tests/native/fakes/FakeControllerHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "common/Text.h"

namespace {

// Exports take no argument, so they find their library through the one live host.
FakeControllerHost* s_host = nullptr;

FakeControllerHost& Host() {
    if (!s_host) throw std::logic_error("no fake controller host");
    return *s_host;
}

void Use(const char* what) {
    Host().Record(what);
    if (!Host().ModuleLoaded()) ADD_FAILURE() << "library object used while unloaded: " << what;
}

class FakeRemoteConnect final : public RemoteConnectAPI {
public:
    const char* GetVersion() override {
        Use("remote version");
        return Host().library.remoteConnectVersion.c_str();
    }
    std::uint8_t Connect(const char* address) override {
        Use((std::string("connect ") + address).c_str());
        return Host().library.connects;
    }
};

class FakeServiceTool final : public ServiceToolAPI {
public:
    const char* GetVersion() override {
        Use("service version");
        return Host().library.serviceToolVersion.c_str();
    }
    std::uint8_t GetStatus(std::uint32_t* status, std::uint32_t* detail) override {
        Use("status");
        *status = Host().library.status;
        *detail = Host().library.detail;
        return Host().library.statusAnswer;
    }
    std::uint8_t Reserved2() override { return 0; }
    std::uint8_t GetInformation(char* buffer, int size) override {
        Use("info");
        const std::string& text = Host().library.information;
        if (Host().library.terminatesInformation) {
            const std::size_t n = std::min(text.size(), static_cast<std::size_t>(size - 1));
            std::memcpy(buffer, text.data(), n);
            buffer[n] = '\0';
        } else {
            for (int i = 0; i < size; ++i) buffer[i] = text[static_cast<std::size_t>(i) % text.size()];
        }
        return 1;
    }
    std::uint8_t StartUpdate(int argument) override {
        Use(("start " + std::to_string(argument)).c_str());
        return Host().library.startUpdateAnswer;
    }
    std::uint8_t RequestReboot() override {
        Use("reboot");
        return Host().library.rebootAnswer;
    }
    std::uint8_t Reserved6() override { return 0; }
    std::uint8_t Reserved7() override { return 0; }
    std::uint8_t Reserved8() override { return 0; }
    std::uint8_t Reserved9() override { return 0; }
    std::uint8_t GetOperationCode(int* code) override {
        Use("opcode");
        *code = Host().library.operationCode;
        return 1;
    }
};

FakeRemoteConnect s_remoteConnect;
FakeServiceTool s_serviceTool;

void* GetRemoteConnect() { return Host().library.remoteConnectObject ? &s_remoteConnect : nullptr; }
void* GetServiceTool() { return Host().library.serviceToolObject ? &s_serviceTool : nullptr; }

}  // namespace

FakeControllerHost::FakeControllerHost() {
    if (s_host) ADD_FAILURE() << "two fake controller hosts at once";
    s_host = this;
}

FakeControllerHost::~FakeControllerHost() { s_host = nullptr; }

std::wstring FakeControllerHost::TempDirectory() { return tempDirectory; }

IControllerHost::WriteResult FakeControllerHost::WriteLibrary(const std::wstring& path, std::wstring& report) {
    Record("write");
    ++writes;
    if (writeResult == WriteResult::kFileError) {
        report = fileErrorReport;
        return writeResult;
    }
    if (m_modules[path] > 0) {
        report = L"Cannot write " + path + L": Sharing violation.";
        return WriteResult::kFileError;
    }
    files.insert(path);  // created, and empty without a resource
    return writeResult;
}

IControllerHost::Module FakeControllerHost::Load(const std::wstring& path) {
    Record("load");
    ++loads;
    if (!library.loadable || !files.contains(path)) return nullptr;
    int& references = m_modules[path];
    ++references;
    return &references;
}

IControllerHost::ExportFn FakeControllerHost::Resolve(Module module, const char* name) {
    Record(std::string("resolve ") + name);
    if (!LoadedPath(module)) {
        ADD_FAILURE() << "resolve on a module that is not loaded";
        return nullptr;
    }
    if (std::strcmp(name, kGetRemoteConnectApiExport) == 0) {
        return library.remoteConnectExport ? &GetRemoteConnect : nullptr;
    }
    if (std::strcmp(name, kGetServiceToolApiExport) == 0) {
        return library.serviceToolExport ? &GetServiceTool : nullptr;
    }
    return nullptr;
}

void FakeControllerHost::Free(Module module) {
    Record("free");
    const std::wstring* const path = LoadedPath(module);
    if (!path) {
        ADD_FAILURE() << "free of a module that is not loaded";
        return;
    }
    --m_modules[*path];
}

void FakeControllerHost::DeleteLibraryFile(const std::wstring& path) {
    Record("delete");
    const auto module = m_modules.find(path);
    if (!filesHeldOpen && (module == m_modules.end() || module->second == 0)) files.erase(path);
}

int FakeControllerHost::loadedModules() const {
    int references = 0;
    for (const auto& [path, count] : m_modules) references += count;
    return references;
}

std::set<std::wstring> FakeControllerHost::LoadedFiles() const {
    std::set<std::wstring> loaded;
    for (const auto& [path, count] : m_modules) {
        if (count > 0) loaded.insert(path);
    }
    return loaded;
}

const std::wstring* FakeControllerHost::LoadedPath(Module module) const {
    for (const auto& [path, count] : m_modules) {
        if (&count == module && count > 0) return &path;
    }
    return nullptr;
}

void FakeControllerHost::ShowMessage(const std::wstring& text) { messages.push_back(text); }

void FakeControllerHost::ShowErrorMessage(const std::wstring& text) { errorMessages.push_back(text); }

std::wstring FakeControllerHost::FromThreadAnsi(std::string_view text) { return text::WidenBytes(text); }

std::vector<std::string> FakeControllerHost::TakeCalls() {
    std::vector<std::string> calls;
    calls.swap(m_calls);
    return calls;
}

void FakeControllerHost::Record(std::string line) { m_calls.push_back(std::move(line)); }

// The installer started in quiet mode from outside, as an administrator's script starts it: its
// standard output and standard error each redirected to a file of their own. The scenarios, the
// fleet benchmark and the demo read its result lines as they come, watch that it never shows a
// window, and end it when it outlives their bound. Nothing here fails a test by itself.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/win32/UniqueHandle.h"

namespace quiet {

// A folder of its own under the temporary folder (<prefix>-<process id>-<n>), removed with the
// files in it when it goes. Path() is empty when it could not be made.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::wstring& prefix);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& Path() const { return m_path; }
    // Path()\name.
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }
    // Writes `bytes` to File(name), made anew; the path, or empty when it could not be written.
    std::wstring Write(const std::wstring& name, const std::string& bytes) const;

private:
    std::wstring m_path;
};

// The complete lines of a file (the line break dropped, and a CR before it), read while another
// process may still write it: a last line not yet ended is left out. Empty when there is no file.
std::vector<std::string> ReadLines(const std::wstring& path);

class Installer {
public:
    // Starts `exe` with `arguments` (each quoted), standard output into `outputFile` and standard
    // error into `errorFile` (both made anew), no standard input, and no other handle of this
    // process. Started() says whether it did; StartError() why not.
    Installer(const std::wstring& exe, const std::vector<std::wstring>& arguments, const std::wstring& outputFile,
              const std::wstring& errorFile);
    // A process still running is killed, and waited for within a bound.
    ~Installer();
    Installer(const Installer&) = delete;
    Installer& operator=(const Installer&) = delete;

    bool Started() const { return static_cast<bool>(m_process); }
    const std::wstring& StartError() const { return m_startError; }
    const std::wstring& CommandLine() const { return m_commandLine; }
    DWORD Id() const { return m_id; }
    bool Running() const;

    // Polls every `pollMs` until the process ends or `timeoutMs` has passed, looking each time for
    // a visible top-level window of the process and then calling `onPoll`. The exit code; nullopt
    // when the process was killed: at the bound, or as soon as it showed a window (quiet mode
    // shows none, and nobody would answer one).
    std::optional<DWORD> Wait(DWORD timeoutMs, const std::function<void()>& onPoll = {}, DWORD pollMs = 50);

    // Whether a visible top-level window of the process was seen during Wait, and what it said
    // (its title, and a message box's text).
    bool WindowSeen() const { return m_windowSeen; }
    const std::wstring& WindowText() const { return m_windowText; }
    // The complete lines of standard output so far.
    std::vector<std::string> OutputLines() const { return ReadLines(m_outputFile); }
    // Standard error so far, whole.
    std::string Errors() const;
    // From the start to the end of the process (or to now while it runs), in seconds.
    double Seconds() const;

private:
    UniqueKernelObject m_process;
    DWORD m_id = 0;
    std::wstring m_commandLine, m_startError, m_outputFile, m_errorFile;
    std::chrono::steady_clock::time_point m_start;
    std::optional<std::chrono::steady_clock::time_point> m_end;
    bool m_windowSeen = false;
    std::wstring m_windowText;
};

}  // namespace quiet

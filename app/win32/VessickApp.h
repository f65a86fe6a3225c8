// The application object: one installer at a time, the common controls and sockets, the command
// line, the main dialog run modally, and the code it ends with as the process exit code.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "app/ExitCode.h"
#include "common/win32/UniqueHandle.h"

class CVessickApp {
public:
    // Always FALSE: all the work is done in the modal dialog; the exit code is in m_nExitCode.
    BOOL InitInstance(const std::vector<std::wstring>& arguments);
    // Ends what the run started and returns the exit code.
    int ExitInstance();

    int m_nExitCode = VessickExitCode::INIT_FAILED;

private:
    // True when this is the only installer running; otherwise, when `tellUser`, says so in a box.
    bool TakeSingleInstanceMutex(bool tellUser);
    int RunMainDialog(const std::vector<std::wstring>& arguments);
    // Option f: forgets a printer's remembered certificate, says so, and runs no dialog.
    int ForgetPrinterCertificate(const std::wstring& printer);

    UniqueKernelObject m_mutex;  // held for the life of the process
    bool m_bSocketReady = false;
};

// The arguments after the program's own name.
std::vector<std::wstring> CommandLineArguments();

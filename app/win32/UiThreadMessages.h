// Messages that the lower layers show the user (the controller library's problems, the
// certificate check), shown the way the application's own are: owned by the dialog the user
// works in on the user-interface thread, so that the dialog beneath is disabled while the box is
// open, and never from a worker thread. A worker's message is handed to the user-interface
// thread, which shows it while the worker waits for the answer.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

class CUiThreadMessages {
public:
    // Called on the user-interface thread before any dialog opens: makes the window through which
    // workers reach this thread and registers the presenter (SetUserMessagePresenter). False when
    // the window could not be made: nothing is registered then, and the lower layers' messages go
    // to standard error (their operations fail).
    static bool Install(HINSTANCE instance = ::GetModuleHandleW(nullptr));

    // Shows the message on the user-interface thread, owned by its active dialog; the button
    // chosen (IDOK, IDYES, ...). From another thread it waits until that thread has shown it.
    static int Show(const std::wstring& text, const std::wstring& title, unsigned style);
};

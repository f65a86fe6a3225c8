// How the lower layers show the user a message box. They have no window of their own to own it,
// and may run on a worker; start-up registers a presenter that shows the box on the
// user-interface thread, owned by its active dialog. Programs without one (tests, benchmarks)
// get the message on standard error instead of a box that nobody could answer.
#pragma once

#include <functional>
#include <string>

// style: MB_* flags; returns the button id (IDOK, IDYES, ...).
using UserMessagePresenter = std::function<int(const std::wstring& text, const std::wstring& title, unsigned style)>;

// Start-up registers how the user is shown a message; thread-safe. An empty presenter forgets it.
void SetUserMessagePresenter(UserMessagePresenter presenter);

// Shows `text` through the registered presenter. With none registered (test programs, benchmarks)
// nothing is shown: the text is written to standard error as one line saying a message box was
// not shown and what it said, and the call returns IDCANCEL at once, so nothing waits for an
// answer nobody can give.
int ShowUserMessage(const std::wstring& text, const std::wstring& title, unsigned style);

// The registered message presenter, and the line written where there is none.
#include "common/win32/UserMessage.h"

#include <windows.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "common/win32/StandardLine.h"

namespace {

using PresenterPtr = std::shared_ptr<const UserMessagePresenter>;

// Never destroyed: a message may come while the process ends.
std::mutex& PresenterMutex() {
    static std::mutex* const mutex = new std::mutex;
    return *mutex;
}

PresenterPtr& Registered() {
    static PresenterPtr* const presenter = new PresenterPtr;
    return *presenter;
}

// The message on one line: its line breaks become spaces.
std::wstring OneLine(const std::wstring& title, const std::wstring& text) {
    std::wstring line = L"A message box was not shown (nothing is registered to show it): ";
    if (!title.empty()) line += L"[" + title + L"] ";
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') continue;
        line += text[i] == L'\r' || text[i] == L'\n' ? L' ' : text[i];
    }
    return line;
}

void WriteUnshown(const std::wstring& text, const std::wstring& title) {
    // UTF-8 rather than the ANSI code page: the messages are mostly Japanese, and on any other
    // system they would come out as question marks.
    WriteStandardLine(stderr, STD_ERROR_HANDLE, OneLine(title, text), true, CP_UTF8);
}

}  // namespace

void SetUserMessagePresenter(UserMessagePresenter presenter) {
    PresenterPtr next = presenter ? std::make_shared<const UserMessagePresenter>(std::move(presenter)) : nullptr;
    PresenterPtr previous;
    {
        std::lock_guard lock(PresenterMutex());
        previous = std::exchange(Registered(), std::move(next));
    }
    // The old presenter goes outside the lock: its captures may do anything as they end.
}

int ShowUserMessage(const std::wstring& text, const std::wstring& title, unsigned style) {
    PresenterPtr presenter;
    {
        std::lock_guard lock(PresenterMutex());
        presenter = Registered();
    }
    // Called without the lock: a box stays open for as long as the user takes, and meanwhile
    // another thread may show a message of its own or register another presenter.
    if (presenter) return (*presenter)(text, title, style);
    try {
        WriteUnshown(text, title);
    } catch (const std::bad_alloc&) {
        // Nothing could be written; the caller still goes on at once.
    }
    return IDCANCEL;
}

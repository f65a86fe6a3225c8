// What the dialogs' logic asks of the windows that show it: message boxes and the wait cursor.
// The Windows side implements it over real windows; tests record what was asked.
#pragma once

#include <string>

enum class MessageIcon { kNone, kStop, kExclamation, kInformation };
enum class MessageButtons { kOk, kYesNo, kYesNoDefaultNo };
enum class MessageAnswer { kOk, kYes, kNo };

class IMessageView {
public:
    virtual ~IMessageView() = default;

    // A modal message box with the application title; returns the button the user chose.
    virtual MessageAnswer ShowMessage(const std::wstring& text, MessageIcon icon, MessageButtons buttons) = 0;

    // Shows the wait cursor until the matching EndWaitCursor.
    virtual void BeginWaitCursor() = 0;
    virtual void EndWaitCursor() = 0;
};

// The wait cursor for the life of a scope.
class WaitCursorScope {
public:
    explicit WaitCursorScope(IMessageView& view) : m_view(view) { m_view.BeginWaitCursor(); }
    ~WaitCursorScope() { m_view.EndWaitCursor(); }
    WaitCursorScope(const WaitCursorScope&) = delete;
    WaitCursorScope& operator=(const WaitCursorScope&) = delete;

private:
    IMessageView& m_view;
};

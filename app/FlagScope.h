// Sets a flag for the life of a scope: a handler marks itself at work, so that what runs
// underneath it (a message loop, a nested tick) can tell.
#pragma once

class FlagScope {
public:
    explicit FlagScope(bool& flag) : m_flag(flag) { m_flag = true; }
    ~FlagScope() { m_flag = false; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

private:
    bool& m_flag;
};

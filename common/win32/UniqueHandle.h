// One owner template for operating-system handles: a policy names the "no handle" value and how
// to close one. Aliases for the handle kinds the product uses sit beside it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <utility>

template <typename Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Handle handle) noexcept : m_handle(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != Traits::Invalid(); }

    Handle release() noexcept { return std::exchange(m_handle, Traits::Invalid()); }
    void reset(Handle handle = Traits::Invalid()) noexcept {
        const Handle old = std::exchange(m_handle, handle);
        if (old != Traits::Invalid()) Traits::Close(old);
    }

private:
    Handle m_handle = Traits::Invalid();
};

struct KernelHandleTraits {  // CreateFile and friends: INVALID_HANDLE_VALUE means none
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { ::CloseHandle(h); }
};

struct NullableHandleTraits {  // CreateMutex, CreateEvent, ...: null means none
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { ::CloseHandle(h); }
};

struct SocketTraits {
    using Handle = SOCKET;
    static Handle Invalid() noexcept { return INVALID_SOCKET; }
    static void Close(Handle s) noexcept { ::closesocket(s); }
};

struct ModuleTraits {
    using Handle = HMODULE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle m) noexcept { ::FreeLibrary(m); }
};

using UniqueFile = UniqueHandle<KernelHandleTraits>;
using UniqueKernelObject = UniqueHandle<NullableHandleTraits>;
using UniqueSocket = UniqueHandle<SocketTraits>;
using UniqueModule = UniqueHandle<ModuleTraits>;

// The controller library's call contract as the installer sees it: two exports, each returning an
// interface object whose operations are virtual member functions called in slot order. The
// library (controller/win32/) implements these classes; the printer port calls them.
//
// The order of the virtual functions below is the slot order and must never change. Slots the
// installer does not call are kept as placeholders so that the later slots keep their numbers.
// Neither class has a virtual destructor: the objects belong to the library.
#pragma once

#include <cstdint>

inline constexpr char kControllerApiVersion[] = "V100";
inline constexpr char kGetRemoteConnectApiExport[] = "GetRemoteConnectAPI";
inline constexpr char kGetServiceToolApiExport[] = "GetServiceToolAPI";
inline constexpr int kControllerInfoBufferSize = 1024;

class RemoteConnectAPI {
public:
    // Slot 0: the interface version text, "V100".
    virtual const char* GetVersion() = 0;
    // Slot 1: reaches the printer at dotted IPv4 `address`; non-zero when it answered as that
    // printer.
    virtual std::uint8_t Connect(const char* address) = 0;

protected:
    ~RemoteConnectAPI() = default;
};

class ServiceToolAPI {
public:
    // Slot 0: the interface version text, "V100".
    virtual const char* GetVersion() = 0;
    // Slot 1: writes the status word and the detail word; non-zero when the printer answered.
    virtual std::uint8_t GetStatus(std::uint32_t* status, std::uint32_t* detail) = 0;
    // Slot 2: not used by the installer.
    virtual std::uint8_t Reserved2() = 0;
    // Slot 3: writes the information reply, zero-terminated, in the thread's ANSI code page, at
    // most `size` bytes with the terminator. The result is not used.
    virtual std::uint8_t GetInformation(char* buffer, int size) = 0;
    // Slot 4: asks the printer to enter firmware-update mode (`argument` is 0); non-zero when it
    // accepted.
    virtual std::uint8_t StartUpdate(int argument) = 0;
    // Slot 5: asks the printer to restart; non-zero when it accepted.
    virtual std::uint8_t RequestReboot() = 0;
    // Slots 6 to 9: not used by the installer.
    virtual std::uint8_t Reserved6() = 0;
    virtual std::uint8_t Reserved7() = 0;
    virtual std::uint8_t Reserved8() = 0;
    virtual std::uint8_t Reserved9() = 0;
    // Slot 10: writes the printer's operation code. The result is not used.
    virtual std::uint8_t GetOperationCode(int* code) = 0;

protected:
    ~ServiceToolAPI() = default;
};

// The exports' type.
using GetRemoteConnectApiFn = RemoteConnectAPI* (*)();
using GetServiceToolApiFn = ServiceToolAPI* (*)();

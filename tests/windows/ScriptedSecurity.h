// A security package that plays a toy TLS, for testing the TLS socket's record logic without
// Schannel: the handshake is "HELLO" from the client, "WELCOME" from the peer, "DONE" from the
// client. Before "WELCOME" the peer may send certificate messages ('C', a 3-byte length, that many
// bytes), which the package takes one a call: SEC_I_CONTINUE_NEEDED, with the bytes behind the
// message left over as SECBUFFER_EXTRA. A record is a 5-byte header (type, 3, 3, length high, length low), the payload XORed
// with 0x5A and a 16-byte trailer of 0xEE. Record types: 0x17 data, 0x16 a renegotiation request
// (the client says "HELLO" again and waits for "WELCOME"), 0x15 the peer's close. The client's
// close is a 0x15 record with no payload.
//
// Every call into the package goes into one log, so a test reads the order of events.
#pragma once

#include <winsock2.h>
#include <windows.h>
#define SECURITY_WIN32
#include <security.h>

#include <cstdint>
#include <string>
#include <vector>

struct ScriptedSecurity {
    // Stream sizes the package reports.
    unsigned long header = 5;
    unsigned long trailer = 16;
    unsigned long maximumMessage = 16384;
    // The answer to a question for the peer's certificate: a failure status.
    SECURITY_STATUS certificateStatus = SEC_E_NO_CREDENTIALS;
    // Take the peer's close as an empty record (SEC_E_OK), as Wine's package does.
    bool closeAsEmptyRecord = false;

    // "acquire", "isc first", "isc", "isc close", "delete context", "free credentials",
    // "apply control", "encrypt N", "decrypt", "query sizes", "query certificate".
    std::vector<std::string> log;
    // The input token of each "isc".
    std::vector<std::string> handshakeInputs;
    std::vector<unsigned long> encryptedPieces;

    // The table whose functions play this package. One instance at a time.
    PSecurityFunctionTableW Table();
    ~ScriptedSecurity();

    int Count(const std::string& entry) const;

    // Test-side helpers for the toy protocol.
    static std::vector<std::uint8_t> Record(std::uint8_t type, const std::vector<std::uint8_t>& payload);
    static std::vector<std::uint8_t> DataRecord(const std::string& text);
    // A certificate message that says it is `size` bytes long, with `sent` of them (all by default).
    static std::vector<std::uint8_t> CertificateMessage(std::size_t size, std::size_t sent = SIZE_MAX);
    // The payloads of the data records in `bytes`; false when they are not whole records.
    static bool ReadRecords(const std::vector<std::uint8_t>& bytes, std::vector<std::vector<std::uint8_t>>& payloads,
                            std::vector<std::uint8_t>* types = nullptr);

    // Internal state of the one context.
    bool helloPending = false;
    bool closing = false;
};

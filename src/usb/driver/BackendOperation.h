#pragma once

// One request of an OperationBackend from its start to its end: what every
// such backend records about it. A backend derives its own operation from
// this one for whatever else it needs to carry the request.
//
// Every field is guarded by the backend's lock (OperationBackend::m_mutex),
// and the block is written only with that lock held and only until `ended`
// is set.

#include "usb/driver/UsbDriver.h"

#include <cstdint>
#include <span>
#include <string>

namespace zelmora {

struct BackendOperation {
    virtual ~BackendOperation() = default;

    // Ends the operation as a system call that succeeded, with the byte
    // count the driver reports.
    void Succeed(std::uint32_t byteCount);
    // Ends the operation as a system call that failed with the platform's
    // error; byteCount is what arrived before it failed.
    void Fail(std::uint32_t errorCode, std::uint32_t byteCount = 0);

    // Ends an informational request with its value at the start of the
    // output bytes, or as failed with kErrorInsufficientBuffer when they are
    // fewer than the value's.
    void Answer(std::span<const std::uint8_t> value, std::span<std::uint8_t> out);
    void AnswerByte(std::uint8_t value, std::span<std::uint8_t> out);
    void AnswerNumber(std::uint32_t value, std::span<std::uint8_t> out); // little-endian
    // A text with its terminating zero, cut to the output bytes; fails only
    // when there are none.
    void AnswerText(const std::string& text, std::span<std::uint8_t> out);

    DriverHandle handle = kInvalidDriverHandle;
    std::span<std::uint8_t> block; // the request block of a transfer, else empty
    std::uint8_t endpoint = 0;     // the address of a transfer on another endpoint
    bool ended = false;
    bool succeeded = false;
    std::uint32_t error = kErrorSuccess;
    std::uint32_t bytes = 0;
};

} // namespace zelmora

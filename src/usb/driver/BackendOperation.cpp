#include "usb/driver/BackendOperation.h"

#include "usb/driver/DriverRequest.h"

#include <algorithm>
#include <array>

namespace zelmora {

void BackendOperation::Succeed(std::uint32_t byteCount) {
    ended = true;
    succeeded = true;
    error = kErrorSuccess;
    bytes = byteCount;
}

void BackendOperation::Fail(std::uint32_t errorCode, std::uint32_t byteCount) {
    ended = true;
    succeeded = false;
    error = errorCode;
    bytes = byteCount;
}

void BackendOperation::Answer(std::span<const std::uint8_t> value, std::span<std::uint8_t> out) {
    if (out.size() < value.size()) {
        Fail(kErrorInsufficientBuffer);
        return;
    }
    std::copy(value.begin(), value.end(), out.begin());
    Succeed(static_cast<std::uint32_t>(value.size()));
}

void BackendOperation::AnswerByte(std::uint8_t value, std::span<std::uint8_t> out) {
    Answer({&value, 1}, out);
}

void BackendOperation::AnswerNumber(std::uint32_t value, std::span<std::uint8_t> out) {
    std::array<std::uint8_t, 4> bytesOfValue{};
    DriverRequest::Write32(bytesOfValue, 0, value);
    Answer(bytesOfValue, out);
}

void BackendOperation::AnswerText(const std::string& text, std::span<std::uint8_t> out) {
    if (out.empty()) {
        Fail(kErrorInsufficientBuffer);
        return;
    }
    const std::size_t count = std::min(text.size() + 1, out.size());
    std::copy_n(text.c_str(), count, out.begin());
    Succeed(static_cast<std::uint32_t>(count));
}

} // namespace zelmora

#pragma once

// The IEEE 488.2 status model of one connection: the standard event
// status register and its enable mask, the service request enable mask,
// the status byte built from them, and the error queue, of a fixed depth
// so that a client that never asks cannot make it grow: when it is full,
// its last entry becomes -350 "Queue overflow".

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace zelmora {

class CScpiStatus {
public:
    static constexpr std::size_t kErrorQueueDepth = 16;

    // Event status register bits.
    static constexpr unsigned kOperationComplete = 1U << 0;
    static constexpr unsigned kQueryError = 1U << 2;
    static constexpr unsigned kDeviceError = 1U << 3;
    static constexpr unsigned kExecutionError = 1U << 4;
    static constexpr unsigned kCommandError = 1U << 5;
    static constexpr unsigned kPowerOn = 1U << 7;

    // Adds an error ("-222,\"Data out of range;...\"" when asked) and sets
    // the event bit its class calls for.
    void AddError(int code, std::string_view text);
    // The oldest error as the queue answers it; "0,\"No error\"" when empty.
    std::string NextError();
    std::size_t ErrorCount() const { return m_errors.size(); }

    void SetEvent(unsigned bits) { m_nEsr |= bits & 0xFF; }
    // Reads and clears the event status register.
    unsigned TakeEsr();
    void SetEse(unsigned mask) { m_nEse = mask & 0xFF; }
    unsigned Ese() const { return m_nEse; }
    // Bit 6 of the mask is not used: the status byte's summary is computed.
    void SetSre(unsigned mask) { m_nSre = mask & 0xBF; }
    unsigned Sre() const { return m_nSre; }
    // The status byte: bit 2 an error waits, bit 5 an enabled event is set,
    // bit 6 an enabled summary bit is set.
    unsigned Stb() const;
    // *CLS: the event register and the error queue are emptied.
    void Clear();

private:
    struct Error {
        int code = 0;
        std::string text;
    };
    std::deque<Error> m_errors;
    unsigned m_nEsr = kPowerOn;
    unsigned m_nEse = 0;
    unsigned m_nSre = 0;
};

} // namespace zelmora

#pragma once

#include <cstdint>
#include <memory>

namespace zelmora {

// How a wait on an overlapped request ended.
enum class WaitOutcome {
    Signalled, // the request has ended
    TimedOut,  // still running when the time-out ran out
    Failed,    // the wait itself failed (no request attached, backend error)
};

// A backend's own state of one request in flight. The backend attaches it
// to the caller's OverlappedRecord when the request is accepted.
class OverlappedState {
public:
    virtual ~OverlappedState() = default;

    // Waits up to timeoutMs (kInfinite: no limit) for the request to end.
    virtual WaitOutcome Wait(std::uint32_t timeoutMs) = 0;

    // Returns only once the request has ended: a request still running is
    // cancelled first, and this waits until the backend has let go of its
    // request block. After End the backend never touches the block again.
    virtual void End() = 0;

    // The outcome of an ended request: the byte count the driver returned
    // (header bytes included) and whether the system call succeeded.
    virtual bool Result(std::uint32_t& bytesReturned) = 0;
};

// The caller's record of one overlapped request, the counterpart of the
// platform's OVERLAPPED with its event.
//
// The request block handed to UsbDriver::SubmitRequest may be written by
// the backend until the request has ended. Collecting the request
// (UsbDriver::CollectRequest) or destroying the record ends it first, so a
// caller that releases its block after either of them can never have it
// written after release.
class OverlappedRecord {
public:
    OverlappedRecord() = default;
    OverlappedRecord(const OverlappedRecord&) = delete;
    OverlappedRecord& operator=(const OverlappedRecord&) = delete;
    ~OverlappedRecord();

    // True from an accepted submission until the request is collected.
    bool InUse() const { return m_state != nullptr; }

    // For backends: attaches the state of an accepted request.
    void Attach(std::unique_ptr<OverlappedState> state);
    OverlappedState* State() const { return m_state.get(); }

    // Ends the attached request (see OverlappedState::End) and drops it.
    void Release();

private:
    std::unique_ptr<OverlappedState> m_state;
};

} // namespace zelmora

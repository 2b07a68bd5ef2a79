#pragma once

// The request bookkeeping of a backend that carries every request as an
// operation object of its own (BackendOperation): the virtual and the
// libusb backends. Such a backend says how a request starts (ending it at
// once where it can), how a thread waits for it and how it is cancelled;
// this base does the rest alike for all of them: the three submission
// outcomes, the state attached to the caller's overlapped record, the
// synchronous request as a start and a wait without limit, and the result
// of an ended request.
//
// The backend must outlive every overlapped record used with it.

#include "usb/driver/BackendOperation.h"
#include "usb/driver/UsbDriver.h"

#include <memory>
#include <mutex>

namespace zelmora {

class OperationBackend : public UsbDriver {
public:
    bool SyncRequest(DriverHandle handle, std::uint32_t code, std::span<const std::uint8_t> in,
                     std::span<std::uint8_t> out, std::uint32_t& bytesReturned) final;

protected:
    SubmitResult StartRequest(DriverHandle handle, std::uint32_t code,
                              std::span<std::uint8_t> block, OverlappedRecord& record) final;

    // Starts a request. The operation returned has ended already when the
    // request ended at once, well or not (an unknown handle, for one).
    // `in` and `out` may be the same bytes.
    virtual std::shared_ptr<BackendOperation> Begin(DriverHandle handle, std::uint32_t code,
                                                    std::span<const std::uint8_t> in,
                                                    std::span<std::uint8_t> out) = 0;
    // Waits up to timeoutMs (kInfinite: no limit) for an operation to end.
    virtual WaitOutcome WaitFor(BackendOperation& op, std::uint32_t timeoutMs) = 0;
    // Returns once the operation has ended, cancelling it first when it is
    // still running; the backend never writes its block afterwards.
    virtual void End(BackendOperation& op) = 0;

    // A buffered request works on one system buffer: the input is copied
    // into the output bytes (the rest zero-filled) unless they are the same
    // bytes, and the answer is written over it. Returns that buffer.
    static std::span<std::uint8_t> SystemBuffer(std::span<const std::uint8_t> in,
                                                std::span<std::uint8_t> out);

    // The backend's lock: it guards the fields and the block of every
    // operation, and whatever the backend keeps beside them.
    mutable std::mutex m_mutex;

private:
    class RecordState;

    bool ResultOf(const BackendOperation& op, std::uint32_t& bytesReturned) const;
};

} // namespace zelmora

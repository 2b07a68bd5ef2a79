#include "usb/driver/UsbDriver.h"

namespace zelmora {

SubmitResult UsbDriver::SubmitRequest(DriverHandle handle, std::uint32_t code,
                                      std::span<std::uint8_t> block, OverlappedRecord& record) {
    if (record.InUse()) {
        return {SubmitOutcome::Failed, kErrorInvalidParameter};
    }
    SubmitResult result = StartRequest(handle, code, block, record);
    if (result.outcome == SubmitOutcome::Failed) {
        record.Release();
    } else if (!record.InUse()) {
        // A backend that accepted a request must hand over its state.
        return {SubmitOutcome::Failed, kErrorGenFailure};
    }
    return result;
}

WaitOutcome UsbDriver::WaitRequest(OverlappedRecord& record, std::uint32_t timeoutMs) {
    OverlappedState* state = record.State();
    return state ? state->Wait(timeoutMs) : WaitOutcome::Failed;
}

bool UsbDriver::CollectRequest(OverlappedRecord& record, std::uint32_t& bytesReturned) {
    bytesReturned = 0;
    OverlappedState* state = record.State();
    if (!state) {
        return false;
    }
    state->End();
    const bool succeeded = state->Result(bytesReturned);
    record.Release();
    return succeeded;
}

} // namespace zelmora

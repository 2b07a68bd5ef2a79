#include "usb/driver/OperationBackend.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace zelmora {

// The state of one overlapped request: its operation, shared with the
// backend, which may still be completing it.
class OperationBackend::RecordState final : public OverlappedState {
public:
    RecordState(OperationBackend& backend, std::shared_ptr<BackendOperation> op)
        : m_backend(backend), m_op(std::move(op)) {}
    WaitOutcome Wait(std::uint32_t timeoutMs) override {
        return m_backend.WaitFor(*m_op, timeoutMs);
    }
    void End() override { m_backend.End(*m_op); }
    bool Result(std::uint32_t& bytesReturned) override {
        return m_backend.ResultOf(*m_op, bytesReturned);
    }

private:
    OperationBackend& m_backend;
    std::shared_ptr<BackendOperation> m_op;
};

bool OperationBackend::SyncRequest(DriverHandle handle, std::uint32_t code,
                                   std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                   std::uint32_t& bytesReturned) {
    const std::shared_ptr<BackendOperation> op = Begin(handle, code, in, out);
    WaitFor(*op, kInfinite);
    return ResultOf(*op, bytesReturned);
}

SubmitResult OperationBackend::StartRequest(DriverHandle handle, std::uint32_t code,
                                            std::span<std::uint8_t> block,
                                            OverlappedRecord& record) {
    std::shared_ptr<BackendOperation> op = Begin(handle, code, block, block);
    SubmitResult result;
    {
        std::lock_guard lock(m_mutex);
        if (!op->ended) {
            result = {SubmitOutcome::Pending, kErrorIoPending};
        } else if (op->succeeded) {
            result = {SubmitOutcome::Completed, kErrorSuccess};
        } else {
            return {SubmitOutcome::Failed, op->error};
        }
    }
    record.Attach(std::make_unique<RecordState>(*this, std::move(op)));
    return result;
}

std::span<std::uint8_t> OperationBackend::SystemBuffer(std::span<const std::uint8_t> in,
                                                       std::span<std::uint8_t> out) {
    if (in.data() != out.data()) {
        const std::size_t count = std::min(in.size(), out.size());
        std::memmove(out.data(), in.data(), count);
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(count), out.end(), std::uint8_t{0});
    }
    return out;
}

bool OperationBackend::ResultOf(const BackendOperation& op, std::uint32_t& bytesReturned) const {
    std::lock_guard lock(m_mutex);
    bytesReturned = op.ended ? op.bytes : 0;
    return op.ended && op.succeeded;
}

} // namespace zelmora

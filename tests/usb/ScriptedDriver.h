#pragma once

// A driver for tests that records every request block and lets the test
// answer each one by hand, byte for byte.

#include "usb/driver/DriverRequest.h"
#include "usb/driver/UsbDriver.h"

#include <functional>
#include <memory>
#include <vector>

namespace zelmora::testing {

class ScriptedDriver : public UsbDriver {
public:
    struct Answer {
        bool succeeded = true;
        std::uint32_t bytes = 0;
    };
    struct Seen {
        std::uint32_t code = 0;
        std::vector<std::uint8_t> block; // as submitted, before any answer
    };

    // Writes into the block as the driver would and says what to report.
    // The default answers with the whole block.
    std::function<Answer(std::uint32_t code, std::span<std::uint8_t> block)> answer =
        [](std::uint32_t, std::span<std::uint8_t> block) {
            return Answer{true, static_cast<std::uint32_t>(block.size())};
        };
    std::vector<Seen> seen;

    std::optional<std::vector<std::string>> ListDevicePaths(const Guid&) override {
        return std::vector<std::string>{"scripted"};
    }
    DriverHandle OpenDevice(const std::string&) override { return DriverHandle{1}; }
    bool CloseDevice(DriverHandle) override { return true; }
    bool SyncRequest(DriverHandle, std::uint32_t code, std::span<const std::uint8_t> in,
                     std::span<std::uint8_t> out, std::uint32_t& bytes) override {
        seen.push_back({code, {in.begin(), in.end()}});
        const Answer a = answer(code, out);
        bytes = a.bytes;
        return a.succeeded;
    }
    NotificationHandle RegisterInterfaceNotification(NotifyWindow, const Guid&) override {
        return kNoNotification;
    }
    NotificationHandle RegisterHandleNotification(NotifyWindow, DriverHandle) override {
        return kNoNotification;
    }
    bool UnregisterNotification(NotificationHandle) override { return true; }

protected:
    SubmitResult StartRequest(DriverHandle, std::uint32_t code, std::span<std::uint8_t> block,
                              OverlappedRecord& record) override {
        seen.push_back({code, {block.begin(), block.end()}});
        record.Attach(std::make_unique<Ended>(answer(code, block)));
        return {SubmitOutcome::Completed, kErrorSuccess};
    }

private:
    class Ended : public OverlappedState {
    public:
        explicit Ended(Answer a) : m_answer(a) {}
        WaitOutcome Wait(std::uint32_t) override { return WaitOutcome::Signalled; }
        void End() override {}
        bool Result(std::uint32_t& bytes) override {
            bytes = m_answer.bytes;
            return m_answer.succeeded;
        }

    private:
        Answer m_answer;
    };
};

} // namespace zelmora::testing

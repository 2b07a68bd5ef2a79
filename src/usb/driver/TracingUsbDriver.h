#pragma once

// A driver that records every call to another one into a trace file (see
// Trace.h) and passes it on unchanged. The calling thread (the tick) only
// copies the bytes of a call into a bounded queue; a writer thread of its
// own formats and writes them four times a second, flushing each time. When the
// writer falls behind and the queue is full, events are dropped and counted,
// never waited for; the file notes how many and where. The file is capped:
// once it would grow past the cap, it ends with a line that says it was cut
// and why, and later calls are only passed on.

#include "usb/driver/Trace.h"
#include "usb/driver/UsbDriver.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zelmora {

class TraceWriter;

class TracingUsbDriver final : public UsbDriver {
public:
    static constexpr std::uint64_t kDefaultCapBytes = 50ull * 1024 * 1024;
    // The queue's room, in bytes: a call of the meter's takes about 200 of
    // them, so this holds some 5000 calls between two writes.
    static constexpr std::size_t kDefaultQueueBytes = 1024 * 1024;

    struct Settings {
        std::string path;
        TraceHeader header;
        std::uint64_t capBytes = kDefaultCapBytes;
        std::size_t queueBytes = kDefaultQueueBytes;
    };

    // Takes `inner` over; nothing, with the reason in `error` and `inner`
    // left as it was, when the file cannot be written.
    static std::unique_ptr<TracingUsbDriver> Create(std::unique_ptr<UsbDriver>& inner,
                                                    const Settings& settings, std::string& error);

    TracingUsbDriver(const TracingUsbDriver&) = delete;
    TracingUsbDriver& operator=(const TracingUsbDriver&) = delete;
    // Writes what is queued and the end line, then closes the file.
    ~TracingUsbDriver() override;

    // Events the writer could not keep up with so far.
    std::uint64_t Dropped() const;

    std::optional<std::vector<std::string>> ListDevicePaths(const Guid& interfaceClass) override;
    DriverHandle OpenDevice(const std::string& path) override;
    bool CloseDevice(DriverHandle handle) override;
    bool SyncRequest(DriverHandle handle, std::uint32_t code, std::span<const std::uint8_t> in,
                     std::span<std::uint8_t> out, std::uint32_t& bytesReturned) override;
    NotificationHandle RegisterInterfaceNotification(NotifyWindow window,
                                                     const Guid& interfaceClass) override;
    NotificationHandle RegisterHandleNotification(NotifyWindow window,
                                                  DriverHandle handle) override;
    bool UnregisterNotification(NotificationHandle notification) override;
    std::string Fault() const override;

protected:
    SubmitResult StartRequest(DriverHandle handle, std::uint32_t code,
                              std::span<std::uint8_t> block, OverlappedRecord& record) override;

private:
    class Numbers;
    TracingUsbDriver(std::unique_ptr<UsbDriver> inner, std::shared_ptr<TraceWriter> writer);

    std::unique_ptr<UsbDriver> m_inner;
    std::shared_ptr<TraceWriter> m_writer;
    std::unique_ptr<Numbers> m_numbers;
};

} // namespace zelmora

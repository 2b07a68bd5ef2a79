#pragma once

// A USB device that lives in the process and plugs into VirtualUsbDriver:
// its descriptor bytes, a handler for the requests that the backend does
// not answer itself, the values the driver reports about it and the faults
// to inject. The simulated meter is one; tests make their own.

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zelmora {

class VirtualDevice {
public:
    // The standard descriptors, as the device sends them. The backend
    // answers GET_DESCRIPTOR requests from these bytes as they stand, however
    // malformed: a test or a fuzzer may put anything here.
    struct Descriptors {
        std::vector<std::uint8_t> device;                      // type 1
        std::vector<std::vector<std::uint8_t>> configurations; // type 2, by index
        // Type 3, whole descriptors by index; index 0 is the language table.
        std::map<std::uint8_t, std::vector<std::uint8_t>> strings;
    };

    struct SetupPacket {
        std::uint8_t requestType = 0;
        std::uint8_t request = 0;
        std::uint16_t value = 0;
        std::uint16_t index = 0;
        std::uint16_t length = 0;
    };

    // A request that reaches the device's handler.
    struct Request {
        bool control = true;                   // a setup packet on endpoint 0
        SetupPacket setup;                     // control requests only
        std::uint8_t endpoint = 0;             // endpoint address of a transfer (bit 7: IN)
        bool in = false;                       // data flows from the device
        std::uint32_t inLength = 0;            // bytes asked for, IN only
        std::span<const std::uint8_t> outData; // bytes sent, OUT only
    };

    // The device's answer. IN data beyond the bytes asked for is dropped;
    // the status words are the driver's (0 means success).
    struct Reply {
        std::vector<std::uint8_t> data;
        std::uint32_t completionStatus = 0;
        std::uint32_t busStatus = 0;
    };

    // What the driver reports about the device through its informational
    // requests. An empty value makes that request fail.
    struct DriverInfo {
        std::optional<std::uint32_t> driverVersion = 0x00010000;
        std::optional<std::uint32_t> busInterfaceVersion = 0x00000001;
        std::optional<std::uint8_t> deviceAddress = 1;
        std::optional<std::uint8_t> alternateSetting = 0;
        std::string deviceName = "virtual-usb";
        std::string friendlyName = "Virtual USB device";
    };

    // Faults to inject; they can be changed at any time, also while the
    // device is open, and apply to requests started afterwards. Except for
    // the release faults they concern device traffic (control requests and
    // endpoint transfers), not the driver's informational requests.
    struct Faults {
        bool failOpen = false;                   // opening the device's path fails
        bool neverAnswer = false;                // requests stay pending until aborted,
                                                 // closed, unplugged or timed out
        std::uint32_t answerDelayMs = 0;         // answers come this much later, pending
                                                 // meanwhile, from another thread
        std::uint32_t completionStatus = 0;      // non-zero: replaces the device's word
        std::uint32_t busStatus = 0;             // non-zero: replaces the device's word
        std::optional<std::uint32_t> replyLimit; // at most this many data bytes
        bool failClose = false;                  // closing a handle fails; it stays
        bool failNotificationRelease = false;    // releasing a handle notification
                                                 // of this device fails; it stays
    };

    // The status words of a stalled request.
    static constexpr std::uint32_t kStallCompletionStatus = 0xC0000001;
    static constexpr std::uint32_t kStallBusStatus = 0xC0000004;

    explicit VirtualDevice(Descriptors descriptors);
    VirtualDevice(const VirtualDevice&) = delete;
    VirtualDevice& operator=(const VirtualDevice&) = delete;
    virtual ~VirtualDevice();

    // Fixed for the device's life, so they are read without a lock.
    const Descriptors& GetDescriptors() const { return m_descriptors; }
    // The descriptor that a standard GET_DESCRIPTOR asks for by its wValue
    // (type in the high byte, index in the low one); null when the device
    // has none, which the request answers with a stall.
    const std::vector<std::uint8_t>* FindDescriptor(std::uint16_t value) const;

    Faults GetFaults() const;
    void SetFaults(const Faults& faults);
    DriverInfo GetDriverInfo() const;
    void SetDriverInfo(const DriverInfo& info);

    // Answers a request that is not a standard GET_DESCRIPTOR: vendor and
    // class requests, other standard ones, and transfers on other
    // endpoints. Nothing means no answer: the request stays pending as with
    // the neverAnswer fault. Called on the thread that issued the request,
    // one request at a time per device, without any lock of the backend
    // held. This default stalls every request.
    virtual std::optional<Reply> HandleRequest(const Request& request);

    // A stalled request's reply.
    static Reply Stall();

private:
    const Descriptors m_descriptors;
    mutable std::mutex m_mutex;
    Faults m_faults;
    DriverInfo m_info;
};

} // namespace zelmora

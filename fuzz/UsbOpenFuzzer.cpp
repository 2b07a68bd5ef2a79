// Lets a virtual device answer with arbitrary descriptor bytes and runs the
// device's open, configuration selection, a transfer on every endpoint it
// found, and close over them.
//
// Input: byte 0 is the alternate setting the driver reports (0xFF: the
// query fails); byte 1 holds flags (bit 0: cut every reply to byte 2's
// value; bit 1: open a second time); then records of a 16-bit
// little-endian length and that many bytes: the device descriptor,
// configuration 0, configuration 1, then string descriptors 0, 1, 2, ...

#include "usb/UsbDevice.h"
#include "usb/driver/VirtualUsbDriver.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint8_t Byte() { return m_position < m_size ? m_data[m_position++] : 0; }
    bool Done() const { return m_position >= m_size; }
    std::vector<std::uint8_t> Record() {
        const std::size_t length = Byte() | (std::size_t{Byte()} << 8);
        const std::size_t count = std::min(length, m_size - m_position);
        std::vector<std::uint8_t> bytes(m_data + m_position, m_data + m_position + count);
        m_position += count;
        return bytes;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_position = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zelmora;
    Input input(data, size);
    const std::uint8_t alternateSetting = input.Byte();
    const std::uint8_t flags = input.Byte();
    const std::uint8_t replyLimit = input.Byte();

    VirtualDevice::Descriptors descriptors;
    descriptors.device = input.Record();
    descriptors.configurations.push_back(input.Record());
    descriptors.configurations.push_back(input.Record());
    for (unsigned index = 0; index < 256 && !input.Done(); ++index) {
        descriptors.strings[static_cast<std::uint8_t>(index)] = input.Record();
    }

    auto device = std::make_shared<VirtualDevice>(std::move(descriptors));
    VirtualDevice::DriverInfo info;
    if (alternateSetting == 0xFF) {
        info.alternateSetting.reset();
    } else {
        info.alternateSetting = alternateSetting;
    }
    device->SetDriverInfo(info);
    if (flags & 1) {
        VirtualDevice::Faults faults;
        faults.replyLimit = replyLimit;
        device->SetFaults(faults);
    }

    VirtualUsbDriver driver;
    driver.Plug(device);
    CUsbDevice usb(driver, kNoNotifyWindow, kMeterInterfaceGuid);
    if (flags & 2) {
        usb.Open(0);
    }
    usb.SelectConfiguration(0);
    usb.SelectConfiguration(1);
    usb.EndpointCount();
    for (CUsbEndpoint* endpoint :
         {usb.m_isoInEndpoint, usb.m_isoOutEndpoint, usb.m_bulkInEndpoint, usb.m_bulkOutEndpoint,
          usb.m_interruptInEndpoint, usb.m_interruptOutEndpoint}) {
        if (endpoint) {
            std::uint8_t buffer[64] = {};
            std::uint8_t packetInfo[64] = {};
            std::int32_t length = 16;
            endpoint->Transfer(buffer, length,
                               endpoint->m_maxPacketSize >= 2 ? packetInfo : nullptr);
        }
    }
    usb.Close();
    return 0;
}

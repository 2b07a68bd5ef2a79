// Cost of the USB layer's own work over the virtual backend: one control
// read as the meter's sample request makes it, and a whole open and close.

#include "usb/UsbDevice.h"
#include "usb/driver/UsbDescriptors.h"
#include "usb/driver/VirtualUsbDriver.h"

#include <benchmark/benchmark.h>

namespace zelmora {
namespace {

class Sampler : public VirtualDevice {
public:
    Sampler() : VirtualDevice(MakeDescriptors()) {}
    std::optional<Reply> HandleRequest(const Request&) override {
        return Reply{{0x12, 0x34, 0x56, 0x78, 0x02}, 0, 0};
    }

private:
    static Descriptors MakeDescriptors() {
        Descriptors d;
        d.device = UsbDescriptors::Device({.manufacturerIndex = 1, .productIndex = 2});
        d.configurations.push_back(UsbDescriptors::Configuration(
            {.interfaces = {{.endpoints = {{.address = 0x81, .attributes = 2},
                                           {.address = 0x02, .attributes = 2}}}}}));
        d.strings[0] = UsbDescriptors::LanguageTable({0x0409});
        d.strings[1] = UsbDescriptors::String(u"Maker");
        d.strings[2] = UsbDescriptors::String(u"Meter");
        return d;
    }
};

void BM_ControlRead(benchmark::State& state) {
    VirtualUsbDriver driver;
    driver.Plug(std::make_shared<Sampler>());
    CUsbDevice device(driver, kNoNotifyWindow, kMeterInterfaceGuid);
    CUsbControlEndpoint& endpoint = *device.m_controlEndpoint;
    endpoint.m_requestCode = 0xF2;
    endpoint.m_value = 0x00BB;
    std::uint8_t sample[5];
    for (auto _ : state) {
        std::int32_t length = 5;
        benchmark::DoNotOptimize(endpoint.Read(sample, length));
    }
}
BENCHMARK(BM_ControlRead);

void BM_OpenAndClose(benchmark::State& state) {
    VirtualUsbDriver driver;
    driver.Plug(std::make_shared<Sampler>());
    CUsbDevice device(driver, kNoNotifyWindow, kMeterInterfaceGuid);
    for (auto _ : state) {
        benchmark::DoNotOptimize(device.Open(0));
        device.Close();
    }
}
BENCHMARK(BM_OpenAndClose);

} // namespace
} // namespace zelmora

BENCHMARK_MAIN();

#include "frontend/MeterDriver.h"

#include "sim/SimulatedMeter.h"
#include "usb/driver/CombinedUsbDriver.h"
#include "usb/driver/MeterFinder.h"
#include "usb/driver/VirtualUsbDriver.h"
#include "util/TextFormat.h"

#if ZELMORA_HAVE_LIBUSB
#include "usb/driver/LibusbDriver.h"
#include "usb/driver/LibusbMeterFinder.h"
#include "usb/driver/MatchList.h"
#endif
#if defined(_WIN32)
#include "usb/driver/Win32Driver.h"
#endif

#include <array>
#include <string_view>

namespace zelmora {

namespace {

constexpr std::array<std::string_view, 3> kDemoFamilies = {"KV", "RM", "ZN"};

// Adds the real meters' backend; returns the finder where it has one.
std::unique_ptr<MeterFinder> AddRealMeters(CombinedUsbDriver& driver, const AppOptions& options,
                                           std::vector<std::string>& problems) {
#if ZELMORA_HAVE_LIBUSB
    std::vector<UsbId> ids = MatchList::Build(MatchList::DefaultFiles(), options.usbIds, &problems);
    std::string error;
    std::shared_ptr<LibusbDriver> real = LibusbDriver::Create(std::move(ids), &error);
    if (!real) {
        problems.push_back("real meters cannot be reached: " + error);
        return nullptr;
    }
    driver.Add(real);
    return std::make_unique<LibusbMeterFinder>(*real, MatchList::UserFile());
#elif defined(_WIN32)
    // The kernel driver publishes the meters; there is no list to match.
    (void)options;
    (void)problems;
    driver.Add(std::make_shared<Win32Driver>());
    return nullptr;
#else
    (void)driver;
    (void)options;
    problems.emplace_back("this build has no backend for real meters");
    return nullptr;
#endif
}

} // namespace

MeterPlace PlaceOfMeter(const std::string& devicePath) {
    if (devicePath.starts_with("usb:")) {
        return {"libusb", devicePath.substr(4)};
    }
    if (devicePath.find("virtual-usb#") != std::string::npos) {
        return {"simulated", "-"};
    }
    return {"driver", devicePath};
}

void PlugSimulatedMeters(VirtualUsbDriver& driver, int count) {
    for (int i = 0; i < count; ++i) {
        const std::string_view family = kDemoFamilies[static_cast<std::size_t>(i) % 3];
        auto meter = SimulatedMeter::MakeDemo(family, Format("%09d", 210400101 + i),
                                              static_cast<std::uint64_t>(i) + 1);
        meter->PlugInto(driver);
    }
}

MeterSetup CreateMeterSetup(const AppOptions& options, std::vector<std::string>& problems) {
    auto driver = std::make_unique<CombinedUsbDriver>();
    MeterSetup setup;
    if (options.realMeters) {
        setup.finder = AddRealMeters(*driver, options, problems);
    }
    if (options.simulatedMeters > 0) {
        auto simulated = std::make_shared<VirtualUsbDriver>();
        PlugSimulatedMeters(*simulated, options.simulatedMeters);
        driver->Add(std::move(simulated));
    }
    setup.driver = std::move(driver);
    return setup;
}

std::optional<std::vector<UsbDeviceInfo>> ListAllUsbDevices(const AppOptions& options,
                                                            std::vector<std::string>& problems) {
    AppOptions real = options;
    real.realMeters = true;
    real.simulatedMeters = 0;
    const MeterSetup setup = CreateMeterSetup(real, problems);
    if (!setup.finder) {
        return std::nullopt;
    }
    return setup.finder->ListUsbDevices();
}

std::unique_ptr<UsbDriver> CreateMeterDriver(const AppOptions& options,
                                             std::vector<std::string>& problems) {
    return CreateMeterSetup(options, problems).driver;
}

} // namespace zelmora

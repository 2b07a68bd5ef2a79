#include "frontend/MeterDriver.h"

#include "sim/SimulatedMeter.h"
#include "usb/driver/CombinedUsbDriver.h"
#include "usb/driver/MeterFinder.h"
#include "usb/driver/ReplayUsbDriver.h"
#include "usb/driver/TracingUsbDriver.h"
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

// The name of the real meters' backend in a trace.
constexpr const char* kRealBackend =
#if ZELMORA_HAVE_LIBUSB
    "libusb";
#elif defined(_WIN32)
    "driver";
#else
    "none";
#endif

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
    std::string backend;
    if (!options.replayFile.empty()) {
        // The trace's meters stand in for all others: a request to another
        // backend would not be in it.
        if (options.simulatedMeters > 0 || options.askedForReal) {
            problems.emplace_back("--replay plays the meters of its trace back; the other "
                                  "meter options are left out");
        }
        std::string error;
        std::shared_ptr<UsbDriver> replay = ReplayUsbDriver::Load(
            options.replayFile,
            options.replayPace ? ReplayUsbDriver::Pace::Recorded : ReplayUsbDriver::Pace::AsAsked,
            error);
        if (!error.empty()) {
            problems.push_back(error);
        }
        driver->Add(std::move(replay));
        backend = "replay";
    } else {
        if (options.realMeters) {
            setup.finder = AddRealMeters(*driver, options, problems);
            backend = kRealBackend;
        }
        if (options.simulatedMeters > 0) {
            auto simulated = std::make_shared<VirtualUsbDriver>();
            PlugSimulatedMeters(*simulated, options.simulatedMeters);
            driver->Add(std::move(simulated));
            backend += backend.empty() ? "simulated" : "+simulated";
        }
    }
    if (!options.traceFile.empty()) {
        TracingUsbDriver::Settings settings;
        settings.path = options.traceFile;
        settings.header = {options.program, ZELMORA_VERSION, TracePlatform(), backend, TraceNow()};
        std::string error;
        std::unique_ptr<UsbDriver> traced = std::move(driver);
        if (auto tracing = TracingUsbDriver::Create(traced, settings, error)) {
            setup.driver = std::move(tracing);
            return setup;
        }
        problems.push_back(error + "; the run goes on without a trace");
        setup.driver = std::move(traced);
        return setup;
    }
    setup.driver = std::move(driver);
    return setup;
}

std::optional<std::vector<UsbDeviceInfo>> ListAllUsbDevices(const AppOptions& options,
                                                            std::vector<std::string>& problems) {
    AppOptions real = options;
    real.realMeters = true;
    real.simulatedMeters = 0;
    // The listing is of the machine's own devices, and it is taken beside
    // the driver that may already be writing the trace (or by the report,
    // which reads it): a second recorder would start the user's trace
    // afresh, and a replay has no devices to list.
    real.traceFile.clear();
    real.replayFile.clear();
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

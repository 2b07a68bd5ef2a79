// The module `zelmora` as its tests build it: the installed module plus a
// submodule `_testbed` that plays the machine's USB bus. It plugs
// simulated meters (scripted, faulty, unpluggable) in beside those the
// options ask for, polls every link faster than its nominal interval, and
// emulates a meter at the usbfs level for the real libusb backend.

#include "Testbed.h"

#include "frontend/MeterDriver.h"
#include "python/Bindings.h"
#include "python/MeterSession.h"
#include "sim/SimulatedMeter.h"
#include "usb/driver/CombinedUsbDriver.h"
#include "usb/driver/VirtualUsbDriver.h"

#if ZELMORA_TESTBED_USBFS
#include "UsbFsEmulation.h"
#endif

#include <array>
#include <map>
#include <mutex>
#include <optional>
#include <pybind11/stl.h>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace py = pybind11;

namespace zelmora {
namespace {

struct Plugged {
    std::shared_ptr<SimulatedMeter> meter;
    VirtualUsbDriver::DeviceId device = 0;
};

struct Bench {
    std::mutex mutex;
    std::shared_ptr<VirtualUsbDriver> driver = std::make_shared<VirtualUsbDriver>();
    std::map<std::string, Plugged> meters;
#if ZELMORA_TESTBED_USBFS
    std::unique_ptr<UsbFsEmulation> emulation;
    std::map<std::string, std::string> emulated; // meter id, sysfs path
    std::map<std::string, std::shared_ptr<SimulatedMeter>> emulatedMeters;
#endif
};

Bench& TheBench() {
    static Bench* bench = new Bench; // lives as long as the meters that use it
    return *bench;
}

// The lively meters --simulate=N plugs in, with their ids, those not yet
// on the bench.
void PlugDemoMeters(int count) {
    static constexpr std::array<std::string_view, 3> kFamilies = {"KV", "RM", "ZN"};
    Bench& bench = TheBench();
    std::lock_guard lock(bench.mutex);
    for (int i = 0; i < count; ++i) {
        const std::string id = std::to_string(210400101 + i);
        if (bench.meters.contains(id)) {
            continue;
        }
        auto meter = SimulatedMeter::MakeDemo(kFamilies[static_cast<std::size_t>(i) % 3], id,
                                              static_cast<std::uint64_t>(i) + 1);
        const auto device = meter->PlugInto(*bench.driver);
        bench.meters[id] = {std::move(meter), device};
    }
}

void Install(int speedUp, std::size_t queueCapacity) {
    MeterAccess& access = ModuleMeterAccess();
    access.tuning = {.pollSpeedUp = speedUp, .queueCapacity = queueCapacity};
    access.makeDriver = [](const AppOptions& options, std::vector<std::string>& problems) {
        // A trace is taken, or played back, of the module's own meters, as
        // in a user's script.
        if (!options.traceFile.empty() || !options.replayFile.empty()) {
            return CreateMeterDriver(options, problems);
        }
        // The simulated meters asked for join the bench's bus (a second
        // virtual bus would name its devices as the bench's does), where
        // they stay for every later open: one bus, as on a machine.
        AppOptions real = options;
        real.simulatedMeters = 0;
        auto combined = std::make_unique<CombinedUsbDriver>();
        combined->Add(std::shared_ptr<UsbDriver>(CreateMeterDriver(real, problems)));
        PlugDemoMeters(options.simulatedMeters);
        combined->Add(TheBench().driver);
        return std::unique_ptr<UsbDriver>(std::move(combined));
    };
}

using Script = std::vector<std::tuple<int, int, int>>;

void Plug(const std::string& id, const std::string& model, double power, double noise,
          std::optional<Script> script, std::optional<std::uint64_t> removeAfter, int wavelength) {
    SignalModel signal = SignalModel::Constant(power);
    signal.WithNoise(noise);
    auto meter = std::make_shared<SimulatedMeter>(
        SimulatedMeter::Config{.meterId = id,
                               .probeModel = model,
                               .wavelength = static_cast<std::uint16_t>(wavelength),
                               .signal = signal});
    if (script) {
        std::vector<SimulatedMeter::ScriptedReply> replies;
        for (const auto& [wl, reading, range] : *script) {
            replies.push_back({static_cast<std::uint16_t>(wl), static_cast<std::uint16_t>(reading),
                               static_cast<std::uint8_t>(range)});
        }
        meter->SetScript(std::move(replies));
    }
    if (removeAfter) {
        meter->SetMeterFaults({.removeAfterSamples = removeAfter});
    }
    Bench& bench = TheBench();
    std::lock_guard lock(bench.mutex);
    const auto device = meter->PlugInto(*bench.driver);
    bench.meters[id] = {std::move(meter), device};
}

Plugged Find(const std::string& id) {
    Bench& bench = TheBench();
    std::lock_guard lock(bench.mutex);
    const auto found = bench.meters.find(id);
    if (found == bench.meters.end()) {
        throw std::invalid_argument("no meter " + id + " on the test bench");
    }
    return found->second;
}

void Unplug(const std::string& id) {
    const Plugged plugged = Find(id);
    TheBench().driver->Unplug(plugged.device);
    std::lock_guard lock(TheBench().mutex);
    TheBench().meters.erase(id);
}

void Clear() {
    Bench& bench = TheBench();
    std::lock_guard lock(bench.mutex);
    for (const auto& [id, plugged] : bench.meters) {
        bench.driver->Unplug(plugged.device);
    }
    bench.meters.clear();
#if ZELMORA_TESTBED_USBFS
    for (const auto& [id, path] : bench.emulated) {
        bench.emulation->Remove(path);
    }
    bench.emulated.clear();
    bench.emulatedMeters.clear();
#endif
}

// The window's texts of the meter's link, for comparing the numbers with.
py::dict WindowTexts(py::handle meter) {
    const std::shared_ptr<CMeterSession> session = SessionOf(meter);
    const CDeviceLink& link = session->Link();
    py::dict texts;
    texts["mean"] = link.GetMeanText();
    texts["std"] = link.GetStdDevText();
    texts["std_percent"] = link.GetStdDevPercentText();
    texts["min"] = link.GetMinText();
    texts["max"] = link.GetMaxText();
    texts["count"] = link.GetCountText();
    texts["duration"] = link.GetDurationText();
    return texts;
}

} // namespace

void DefineTestbed(py::module_& module) {
    py::module_ bench = module.def_submodule("_testbed", "The tests' USB bus.");
    bench.def("install", &Install, py::arg("speed_up") = 20,
              py::arg("queue_capacity") = CDeviceLink::kSampleQueueCapacity);
    bench.def("plug", &Plug, py::arg("meter_id"), py::arg("model") = "KV50",
              py::arg("power") = 0.012, py::arg("noise") = 0.0, py::arg("script") = py::none(),
              py::arg("remove_after") = py::none(), py::arg("wavelength") = 1064);
    bench.def("unplug", &Unplug);
    bench.def("clear", &Clear);
    bench.def("measuring", [](const std::string& id) { return Find(id).meter->IsMeasuring(); });
    bench.def("silence", [](const std::string& id, bool silent) {
        // Short replies: the meter answers, but no sample comes of it.
        SimulatedMeter::MeterFaults faults;
        if (silent) {
            faults.sampleReplyLength = 2;
        }
        Find(id).meter->SetMeterFaults(faults);
    });
    bench.def("window_texts", &WindowTexts);
#if ZELMORA_TESTBED_USBFS
    // The emulation, made before any libusb context; whether umockdev's
    // preload library makes it the bus libusb sees.
    bench.def("emulate_usb_bus", [] {
        Bench& b = TheBench();
        std::lock_guard lock(b.mutex);
        if (!b.emulation) {
            b.emulation = std::make_unique<UsbFsEmulation>();
        }
        return UsbFsEmulation::Active();
    });
    // A meter emulated at the usbfs level, reached through real libusb.
    bench.def("emulate_usb", [](const std::string& id, const std::string& family, int port) {
        Bench& b = TheBench();
        std::lock_guard lock(b.mutex);
        auto meter = SimulatedMeter::MakeDemo(family, id, 7);
        b.emulated[id] = b.emulation->Add(meter, port, port + 3);
        b.emulatedMeters[id] = std::move(meter);
    });
    // The identity requests an emulated meter has answered, from any process.
    bench.def("usb_identity_requests", [](const std::string& id) {
        Bench& b = TheBench();
        std::lock_guard lock(b.mutex);
        const SimulatedMeter::Counters counters = b.emulatedMeters.at(id)->GetCounters();
        return counters.identity1 + counters.identity2;
    });
    bench.def("unplug_usb", [](const std::string& id) {
        Bench& b = TheBench();
        std::lock_guard lock(b.mutex);
        b.emulation->Remove(b.emulated.at(id));
        b.emulated.erase(id);
        b.emulatedMeters.erase(id);
    });
#endif
}

} // namespace zelmora

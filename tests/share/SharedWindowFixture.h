#pragma once

// The window's logic on a meter shared with other processes, as the
// program has it: a virtual bus with a counting meter, a hub of its own and
// the window on both. Two of them in one test are two processes' windows.

#include "share/ShareHub.h"
#include "sim/SimulatedMeter.h"
#include "usb/driver/VirtualUsbDriver.h"
#include "window/FakeHost.h"
#include "window/ZelmoraDlgLogic.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace zelmora::test {

struct SharedWindow {
    // Its log goes to `folder`; the meter polls `pollSpeedUp` times faster
    // than its period.
    SharedWindow(const std::string& folder, int pollSpeedUp, std::string meterId) {
        // Sample n reads (1000 + n) / 1000 W: no two alike, so a run of
        // equal powers is a run of the same samples.
        SimulatedMeter::Config config;
        config.meterId = std::move(meterId);
        config.probeModel = "KV50";
        config.signal = SignalModel::Ramped(1.0, 4.0, 3000);
        meter = std::make_shared<SimulatedMeter>(std::move(config));
        meter->PlugInto(driver);
        CShareHub::Settings settings;
        settings.program = "window";
        settings.pollSpeedUp = pollSpeedUp;
        hub = std::make_shared<CShareHub>(driver, settings);
        host.desktop = folder;
        logic = std::make_unique<CZelmoraDlgLogic>(
            driver, host, host, CDeviceLink::TestTuning{.pollSpeedUp = pollSpeedUp}, hub);
        logic->OnInitDialog();
    }

    int Count() const { return std::atoi(host.GetText(ZelmoraDlgIds::kIdCount).c_str()); }
    // What the window's timer does: its boxes and its log take the samples.
    void Refresh() { logic->OnTimer(ZelmoraDlgIds::kRefreshTimer); }

    // Refreshes the window until `done`.
    bool RefreshUntil(const auto& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            Refresh();
        }
        return true;
    }

    VirtualUsbDriver driver;
    std::shared_ptr<SimulatedMeter> meter;
    std::shared_ptr<CShareHub> hub;
    FakeWindowHost host;
    std::unique_ptr<CZelmoraDlgLogic> logic;
};

} // namespace zelmora::test

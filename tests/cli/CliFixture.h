#pragma once

// zelmora-cli run in-process on simulated meters that a test plugs, unplugs
// and plugs again, with its standard output and error in files.

#include "CliTestSupport.h"
#include "cli/Cli.h"
#include "sim/SimulatedMeter.h"
#include "usb/driver/CombinedUsbDriver.h"
#include "usb/driver/VirtualUsbDriver.h"
#include "util/TextFormat.h"

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <thread>
#include <unistd.h>

namespace zelmora {

class CliFixture : public ::testing::Test {
protected:
    struct Outcome {
        int exit = -1;
        std::string out;
        std::string err;
    };

    // Plugs demo meters of the families KV, RM and ZN in turn, ids
    // 210400101 on.
    void Plug(int count) {
        for (int i = 0; i < count; ++i) {
            static constexpr const char* kFamilies[] = {"KV", "RM", "ZN"};
            auto meter = SimulatedMeter::MakeDemo(kFamilies[i % 3], Format("%09d", 210400101 + i),
                                                  static_cast<std::uint64_t>(i) + 1);
            m_ids.push_back(meter->PlugInto(*m_virtual));
            m_meters.push_back(std::move(meter));
        }
    }

    Outcome Run(const std::vector<std::string>& arguments) {
        const std::string out = m_folder / "stdout";
        const std::string err = m_folder / "stderr";
        const int outFd = ::open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int errFd = ::open(err.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        CliContext context;
        context.makeDriver = [this](const AppOptions&, std::vector<std::string>&) {
            ++m_driversMade;
            auto driver = std::make_unique<CombinedUsbDriver>();
            driver->Add(m_virtual);
            return m_wrapDriver ? m_wrapDriver(std::move(driver))
                                : std::unique_ptr<UsbDriver>(std::move(driver));
        };
        context.outFd = outFd;
        context.errFd = errFd;
        context.errIsTerminal = m_errIsTerminal;
        context.stop = &m_stop;
        context.pollSpeedUp = m_speedUp;
        context.environment = [this](const std::string& name) {
            const auto found = m_environment.find(name);
            return found == m_environment.end() ? std::nullopt
                                                : std::optional<std::string>(found->second);
        };
        context.queueCapacity = m_queueCapacity;
        Outcome outcome;
        outcome.exit = RunCli(arguments, context);
        ::close(outFd);
        ::close(errFd);
        outcome.out = ReadFile(out);
        outcome.err = ReadFile(err);
        return outcome;
    }

    // Records (lines that are neither comments nor the header) in a CSV.
    static std::vector<std::string> CsvRecords(const std::string& text) {
        std::vector<std::string> records;
        for (const std::string& line : Lines(text)) {
            if (!line.starts_with("#") && !line.starts_with("time_utc")) {
                records.push_back(line);
            }
        }
        return records;
    }

    // Waits until the file holds at least `records` CSV records.
    static bool WaitForRecords(const std::string& path, std::size_t records) {
        for (int i = 0; i < 1000; ++i) {
            if (CsvRecords(ReadFile(path)).size() >= records) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    TempFolder m_folder;
    std::shared_ptr<VirtualUsbDriver> m_virtual = std::make_shared<VirtualUsbDriver>();
    std::vector<std::shared_ptr<SimulatedMeter>> m_meters;
    std::vector<VirtualUsbDriver::DeviceId> m_ids;
    CStopRequest m_stop;
    std::atomic<int> m_driversMade = 0;
    std::size_t m_queueCapacity = CDeviceLink::kSampleQueueCapacity;
    // The meters poll this much faster than asked, so that a run of many
    // samples takes a test a moment.
    int m_speedUp = 10;
    // Standard error is taken for a terminal: the progress line is shown.
    bool m_errIsTerminal = false;
    // Where set, the driver the program gets is made of the test's one by
    // this (a tracing driver around it, or a replay in its place).
    std::function<std::unique_ptr<UsbDriver>(std::unique_ptr<UsbDriver>)> m_wrapDriver;
    // What the program finds in its environment.
    std::map<std::string, std::string> m_environment;
};

} // namespace zelmora

// The console's events on Windows: which end the run, and that the handler
// keeps the process alive, where Windows would end it on the handler's
// return, until the run has ended in order.

#include "cli/StopSignal.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <windows.h>

namespace zelmora {
namespace {

using std::chrono::milliseconds;

TEST(ConsoleEvents, EveryEndingEventStopsTheRunAndTheLastOnesWaitForItsEnd) {
    auto signals = std::make_unique<CTerminationSignals>();
    EXPECT_FALSE(signals->WaitFor(milliseconds(0)));

    // A closing console: the stop comes at once, the handler returns only
    // once the run is over.
    std::atomic<bool> returned{false};
    std::thread handler([&returned] {
        EXPECT_TRUE(CTerminationSignals::OnConsoleEvent(CTRL_CLOSE_EVENT));
        returned = true;
    });
    ASSERT_TRUE(signals->WaitFor(milliseconds(20000)));
    // The handler is held for 4.5 s at most; this is well before that.
    EXPECT_FALSE(returned.load()) << "Windows would have ended the run here";
    signals.reset();
    handler.join();
    EXPECT_TRUE(returned.load());

    // After the run, nothing waits; Ctrl-C and Ctrl-Break only ask.
    for (const unsigned long event :
         {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_SHUTDOWN_EVENT, CTRL_LOGOFF_EVENT}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(CTerminationSignals::OnConsoleEvent(event)) << event;
        EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(4000)) << event;
    }
    EXPECT_FALSE(CTerminationSignals::OnConsoleEvent(0x1234));
}

} // namespace
} // namespace zelmora

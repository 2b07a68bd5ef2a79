// The win32 backend on the platform's own calls. No meter is attached where
// these run, so the overlapped machinery is driven with a named pipe, whose
// listen request pends until a client connects.

#include "usb/driver/Win32Driver.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// windows.h first: the other platform headers build on it.
// clang-format off
#include <windows.h>
#include <winioctl.h>
// clang-format on

#include <gtest/gtest.h>
#include <string>

namespace zelmora {
namespace {

// The request behind ConnectNamedPipe (FSCTL_PIPE_LISTEN, from the kernel's
// headers).
constexpr std::uint32_t kPipeListen = 0x00110008;

class PipeTest : public ::testing::Test {
protected:
    void SetUp() override {
        name = "\\\\.\\pipe\\zelmora-test-" + std::to_string(GetCurrentProcessId());
        pipe = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_BYTE | PIPE_WAIT, 1, 64, 64, 0, nullptr);
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
        handle = DriverHandle{reinterpret_cast<std::uintptr_t>(pipe)};
    }
    void TearDown() override {
        if (client != INVALID_HANDLE_VALUE) {
            CloseHandle(client);
        }
        CloseHandle(pipe);
    }
    void Connect() {
        client = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
        ASSERT_NE(client, INVALID_HANDLE_VALUE);
    }

    Win32Driver driver;
    std::string name;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE client = INVALID_HANDLE_VALUE;
    DriverHandle handle = kInvalidDriverHandle;
};

TEST_F(PipeTest, PendingRequestTimesOutThenCompletesWhenItsEventFires) {
    OverlappedRecord record;
    const SubmitResult submitted = driver.SubmitRequest(handle, kPipeListen, {}, record);
    ASSERT_EQ(submitted.outcome, SubmitOutcome::Pending);
    EXPECT_EQ(submitted.error, kErrorIoPending);
    EXPECT_EQ(driver.WaitRequest(record, 50), WaitOutcome::TimedOut);
    // A record in use takes no second request.
    EXPECT_EQ(driver.SubmitRequest(handle, kPipeListen, {}, record).outcome, SubmitOutcome::Failed);

    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_EQ(driver.WaitRequest(record, 5000), WaitOutcome::Signalled);
    std::uint32_t bytes = 1;
    EXPECT_TRUE(driver.CollectRequest(record, bytes));
    EXPECT_EQ(bytes, 0u);
    EXPECT_FALSE(record.InUse());
}

TEST_F(PipeTest, CollectingARunningRequestCancelsItFirst) {
    OverlappedRecord record;
    ASSERT_EQ(driver.SubmitRequest(handle, kPipeListen, {}, record).outcome,
              SubmitOutcome::Pending);
    std::uint32_t bytes = 1;
    EXPECT_FALSE(driver.CollectRequest(record, bytes));
    EXPECT_EQ(bytes, 0u);
    // The pipe listens again afterwards: nothing of the old request is left.
    ASSERT_EQ(driver.SubmitRequest(handle, kPipeListen, {}, record).outcome,
              SubmitOutcome::Pending);
}

TEST_F(PipeTest, FailedAndSynchronousRequestsReportThePlatformsResult) {
    OverlappedRecord record;
    const SubmitResult failed = driver.SubmitRequest(handle, 0x220020, {}, record);
    EXPECT_EQ(failed.outcome, SubmitOutcome::Failed);
    EXPECT_NE(failed.error, kErrorSuccess);
    EXPECT_NE(failed.error, kErrorIoPending);
    EXPECT_FALSE(record.InUse());

    std::uint32_t bytes = 7;
    EXPECT_FALSE(driver.SyncRequest(handle, 0x220000, {}, {}, bytes));
    EXPECT_EQ(bytes, 0u);
}

TEST(Win32DriverTest, ListsOpensAndClosesThroughThePlatform) {
    Win32Driver driver;
    // The meter class lists whatever is attached (nothing here), but lists.
    EXPECT_TRUE(driver.ListDevicePaths(kMeterInterfaceGuid).has_value());
    EXPECT_EQ(driver.OpenDevice("\\\\?\\no-such-device#{00000000-0000-0000-0000-000000000000}"),
              kInvalidDriverHandle);
    EXPECT_FALSE(driver.CloseDevice(kInvalidDriverHandle));
    EXPECT_EQ(driver.RegisterInterfaceNotification(kNoNotifyWindow, kMeterInterfaceGuid),
              kNoNotification);
    EXPECT_FALSE(driver.UnregisterNotification(kNoNotification));
}

} // namespace
} // namespace zelmora

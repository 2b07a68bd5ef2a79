// Shared meters on Windows, under Wine: the pipes' names and access list,
// processes racing for one meter's ownership, and real zelmora-cli.exe
// processes sharing simulated meter 210400101 (every sample once and in
// order; the owner terminated outright and taken over with the gap marked).
//
//   share_win32_tests --cli=<zelmora-cli.exe>     the checks (GoogleTest)
//   share_win32_tests --race=<lock> <go> <done>   one racer (run by the checks)

#include "LogRows.h"
#include "share/ShareEndpoint.h"
#include "share/ShareHub.h"
#include "share/SharePipe.h"
#include "share/ShareProtocol.h"
#include "sim/SimulatedMeter.h"
#include "usb/driver/VirtualUsbDriver.h"

#include <aclapi.h>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sddl.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <windows.h>

namespace zelmora {
namespace {

using namespace std::chrono_literals;

constexpr const char* kMeter = "210400101";
std::string g_cli;
std::string g_self;

// A Unix path as Wine's Z: drive shows it; other paths as they are.
std::string WindowsPath(std::string path) {
    if (!path.empty() && path.front() == '/') {
        for (char& c : path) {
            c = c == '/' ? '\\' : c;
        }
        path = "Z:" + path;
    }
    return path;
}

using test::ConsecutiveIn;
using test::CountsFromZero;
using test::ReadFile;
using test::Row;
using test::Rows;

bool Eventually(const auto& condition, std::chrono::milliseconds limit = 60s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

HANDLE OutputFile(const std::string& path) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    return ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A child process, its standard output and error to files that can be
// read while it writes them; terminated if still running when the test
// ends.
class CChild {
public:
    CChild(const std::string& program, const std::string& arguments, const std::string& out,
           const std::string& err) {
        HANDLE outFile = OutputFile(out);
        HANDLE errFile = OutputFile(err);
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = outFile;
        startup.hStdError = errFile;
        std::string commandLine = "\"" + program + "\" " + arguments;
        PROCESS_INFORMATION started{};
        if (::CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                             nullptr, nullptr, &startup, &started)) {
            ::CloseHandle(started.hThread);
            m_process = started.hProcess;
            m_id = started.dwProcessId;
        }
        for (HANDLE file : {outFile, errFile}) {
            if (file != INVALID_HANDLE_VALUE) {
                ::CloseHandle(file);
            }
        }
    }
    ~CChild() {
        if (m_process != nullptr) {
            if (::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT) {
                ::TerminateProcess(m_process, 99);
            }
            ::CloseHandle(m_process);
        }
    }
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    bool Started() const { return m_process != nullptr; }
    DWORD Id() const { return m_id; }
    // The exit code; -1 when it does not end within the limit.
    long Wait(DWORD limitMs = 120000) const {
        DWORD code = 0;
        if (m_process == nullptr || ::WaitForSingleObject(m_process, limitMs) != WAIT_OBJECT_0 ||
            !::GetExitCodeProcess(m_process, &code)) {
            return -1;
        }
        return static_cast<long>(code);
    }
    bool Terminate() const { return ::TerminateProcess(m_process, 137) != 0; }

private:
    HANDLE m_process = nullptr;
    DWORD m_id = 0;
};

class ShareWin32Test : public ::testing::Test {
protected:
    void SetUp() override {
        char base[MAX_PATH] = {};
        ::GetTempPathA(MAX_PATH, base);
        m_folder = std::string(base) + "zelmora-share-" + std::to_string(::GetCurrentProcessId()) +
                   "-" + std::to_string(::GetTickCount64());
        ::CreateDirectoryA(m_folder.c_str(), nullptr);
    }
    void TearDown() override {
        WIN32_FIND_DATAA found{};
        HANDLE search = ::FindFirstFileA((m_folder + "\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                ::DeleteFileA(Path(found.cFileName).c_str());
            } while (::FindNextFileA(search, &found));
            ::FindClose(search);
        }
        ::RemoveDirectoryA(m_folder.c_str());
    }

    std::string Path(const std::string& name) const { return m_folder + "\\" + name; }
    std::size_t RowCount(const std::string& name) const { return Rows(Path(name)).size(); }

    // A log run with its records on standard output, which the file the
    // test reads is (a log file of its own is not shared while written).
    std::unique_ptr<CChild> Log(const std::string& out, const std::string& more = {}) {
        return std::make_unique<CChild>(g_cli,
                                        "log --simulate=1 " + std::string(kMeter) + " -o - " + more,
                                        Path(out), Path(out + ".err"));
    }

    std::string m_folder;
};

TEST_F(ShareWin32Test, ThePipesAreNamedForThisUserAndLetThisUserAloneIn) {
    std::string problem;
    const auto names = NamesOfMeter(kMeter, problem);
    ASSERT_TRUE(names) << problem;
    const std::string sid = ThisUserSid();
    ASSERT_TRUE(sid.starts_with("S-1-")) << sid;
    EXPECT_EQ(names->endpointPath,
              "\\\\.\\pipe\\zelmora-meter-" + sid + "-" + names->scope + "-" + kMeter);
    EXPECT_NE(names->lockName, names->endpointPath);
    // Nothing of a meter id leaves the pipes' folder.
    const auto odd = NamesOfMeter("..\\x/y", problem);
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->endpointPath.find('/'), std::string::npos);
    EXPECT_EQ(odd->endpointPath.find('\\', 9), std::string::npos) << odd->endpointPath;

    DWORD error = 0;
    const std::string name =
        "\\\\.\\pipe\\zelmora-test-acl-" + std::to_string(::GetCurrentProcessId());
    HANDLE pipe = CreateOwnPipe(name, true, 1, error);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << error;
    // A second first end of the same name fails: that is the lock.
    HANDLE again = CreateOwnPipe(name, true, 1, error);
    EXPECT_EQ(again, INVALID_HANDLE_VALUE);

    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(::GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &acl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(acl, nullptr) << "no access list: everyone may open the pipe";
    ASSERT_EQ(acl->AceCount, 1u);
    void* entry = nullptr;
    ASSERT_TRUE(::GetAce(acl, 0, &entry));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    char* entrySid = nullptr;
    ASSERT_TRUE(::ConvertSidToStringSidA(&allowed->SidStart, &entrySid));
    EXPECT_EQ(std::string(entrySid), sid);
    ::LocalFree(entrySid);
    ::LocalFree(descriptor);
    ::CloseHandle(pipe);

    // Gone with its handle: the name is free again.
    pipe = CreateOwnPipe(name, true, 1, error);
    EXPECT_NE(pipe, INVALID_HANDLE_VALUE);
    ::CloseHandle(pipe);
}

// Processes that try to take one meter's lock at the same moment: exactly
// one gets it, every time, and the next round finds it free again.
TEST_F(ShareWin32Test, ProcessesRacingForAMeterOneOfThemOwnsIt) {
    constexpr int kRounds = 20;
    constexpr int kRacers = 3;
    const std::string lock =
        "\\\\.\\pipe\\zelmora-test-race-" + std::to_string(::GetCurrentProcessId());
    for (int round = 0; round < kRounds; ++round) {
        const std::string tag =
            std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(round);
        const std::string goName = "zelmora-test-go-" + tag;
        const std::string doneName = "zelmora-test-done-" + tag;
        HANDLE go = ::CreateEventA(nullptr, TRUE, FALSE, goName.c_str());
        HANDLE done = ::CreateEventA(nullptr, TRUE, FALSE, doneName.c_str());
        HANDLE ready =
            ::CreateSemaphoreA(nullptr, 0, kRacers, ("zelmora-test-ready-" + tag).c_str());
        HANDLE tried =
            ::CreateSemaphoreA(nullptr, 0, kRacers, ("zelmora-test-tried-" + tag).c_str());
        std::vector<std::unique_ptr<CChild>> racers;
        for (int i = 0; i < kRacers; ++i) {
            const std::string err = Path("racer" + std::to_string(i) + ".err");
            racers.push_back(
                std::make_unique<CChild>(g_self, "--race=" + lock + " " + tag, err, err + "2"));
            ASSERT_TRUE(racers.back()->Started());
        }
        // Every racer waits at the start before the gun goes.
        for (int i = 0; i < kRacers; ++i) {
            ASSERT_EQ(::WaitForSingleObject(ready, 60000), WAIT_OBJECT_0) << "round " << round;
        }
        ::SetEvent(go);
        // The winner holds the lock until every racer has tried.
        for (int i = 0; i < kRacers; ++i) {
            ASSERT_EQ(::WaitForSingleObject(tried, 60000), WAIT_OBJECT_0) << "round " << round;
        }
        ::SetEvent(done);
        int owners = 0;
        for (const auto& racer : racers) {
            const long code = racer->Wait();
            ASSERT_TRUE(code == 0 || code == 1) << "round " << round << ": " << code;
            owners += code == 0 ? 1 : 0;
        }
        EXPECT_EQ(owners, 1) << "round " << round;
        for (HANDLE handle : {go, done, ready, tried}) {
            ::CloseHandle(handle);
        }
    }
}

TEST_F(ShareWin32Test, ProcessesOnOneMeterGetEveryOwnersSampleOnceInOrder) {
    const auto owner = Log("owner.csv", "--count 60");
    ASSERT_TRUE(owner->Started());
    ASSERT_TRUE(Eventually([&] { return RowCount("owner.csv") >= 3; }))
        << ReadFile(Path("owner.csv.err"));
    const auto first = Log("first.csv", "--count 20");
    const auto second = Log("second.csv", "--count 20");

    EXPECT_EQ(first->Wait(), 0) << ReadFile(Path("first.csv.err"));
    EXPECT_EQ(second->Wait(), 0) << ReadFile(Path("second.csv.err"));
    EXPECT_EQ(owner->Wait(), 0) << ReadFile(Path("owner.csv.err"));
    const std::vector<Row> owned = Rows(Path("owner.csv"));
    ASSERT_EQ(owned.size(), 60u);
    for (const char* name : {"first.csv", "second.csv"}) {
        const std::vector<Row> attached = Rows(Path(name));
        ASSERT_EQ(attached.size(), 20u) << name;
        EXPECT_TRUE(CountsFromZero(attached)) << name;
        EXPECT_TRUE(ConsecutiveIn(attached, owned)) << name << ": the owner's samples, each once";
    }
}

TEST_F(ShareWin32Test, AnOwnerTerminatedOutrightIsTakenOverWithTheGapMarked) {
    const auto owner = Log("owner.csv");
    ASSERT_TRUE(Eventually([&] { return RowCount("owner.csv") >= 3; }))
        << ReadFile(Path("owner.csv.err"));
    const auto logger = Log("logger.csv", "--count 40");
    ASSERT_TRUE(Eventually([&] { return RowCount("logger.csv") >= 10; }))
        << ReadFile(Path("logger.csv.err"));
    ASSERT_TRUE(owner->Terminate());
    EXPECT_EQ(owner->Wait(), 137);
    EXPECT_EQ(logger->Wait(), 0) << ReadFile(Path("logger.csv.err"));
    const std::string text = ReadFile(Path("logger.csv"));
    const std::vector<Row> rows = Rows(Path("logger.csv"));
    EXPECT_EQ(rows.size(), 40u);
    EXPECT_TRUE(CountsFromZero(rows));
    const auto lost = text.find("# meter_lost: 210400101");
    const auto back = text.find("# meter_back: 210400101");
    ASSERT_NE(lost, std::string::npos) << text;
    ASSERT_NE(back, std::string::npos) << text;
    EXPECT_LT(lost, back);

    // Nothing of the terminated owner is left: a new one starts at once.
    const auto next = Log("next.csv", "--count 5");
    EXPECT_EQ(next->Wait(), 0) << ReadFile(Path("next.csv.err"));
    EXPECT_EQ(RowCount("next.csv"), 5u);
}

// A client that stops reading while the pipe's buffer and its queue fill
// up: the owner goes on, and the client, reading again, finds whole lines
// only (nothing cut where the pipe was full), told how many samples it lost.
TEST_F(ShareWin32Test, AClientThatStopsReadingIsToldItsLossInWholeLines) {
    VirtualUsbDriver driver;
    const auto meter = SimulatedMeter::MakeDemo("KV", kMeter, 1);
    meter->PlugInto(driver);
    CShareHub::Settings settings;
    settings.program = "owner";
    settings.pollSpeedUp = 10;
    settings.clientQueueCapacity = 5;
    CShareHub hub(driver, settings);
    std::string problem;
    const std::shared_ptr<MeterSource> source = hub.Open(kMeter, 100, problem);
    ASSERT_TRUE(source) << problem;
    const auto names = NamesOfMeter(kMeter, problem);
    ASSERT_TRUE(names) << problem;

    HANDLE pipe = ::CreateFileA(names->endpointPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << ::GetLastError();
    std::string received;
    const auto readMore = [&] {
        char buffer[4096];
        DWORD n = 0;
        if (!::ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) || n == 0) {
            return false;
        }
        received.append(buffer, n);
        return true;
    };
    while (received.find('\n') == std::string::npos) {
        ASSERT_TRUE(readMore()) << "no hello";
    }
    ShareMessage watch;
    watch.kind = ShareMessage::Kind::Watch;
    watch.intervalMs = 100;
    const std::string request = EncodeMessage(watch);
    DWORD written = 0;
    ASSERT_TRUE(
        ::WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &written, nullptr));

    // Far more samples than the pipe's buffer and the queue hold.
    const std::uint64_t before = meter->GetCounters().sampleRequests;
    ASSERT_TRUE(Eventually([&] { return meter->GetCounters().sampleRequests >= before + 300; }));

    std::uint64_t lost = 0;
    std::size_t samplesAfterLoss = 0;
    std::size_t lines = 0;
    while (samplesAfterLoss < 20) {
        const std::size_t end = received.find('\n');
        if (end == std::string::npos) {
            ASSERT_TRUE(readMore()) << "the owner hung up";
            continue;
        }
        const std::string line = received.substr(0, end);
        received.erase(0, end + 1);
        ++lines;
        std::string error;
        const std::optional<ShareMessage> message = DecodeMessage(line, error);
        ASSERT_TRUE(message) << "line " << lines << ": " << error << ": " << line;
        ASSERT_NE(message->kind, ShareMessage::Kind::End) << line;
        ASSERT_NE(message->kind, ShareMessage::Kind::Error) << line;
        if (message->kind == ShareMessage::Kind::Lost) {
            lost += message->lostSamples;
        } else if (message->kind == ShareMessage::Kind::Sample && lost > 0) {
            ++samplesAfterLoss;
        }
    }
    // Of 300 samples, the pipe, the batch in flight and the queue hold about 100.
    EXPECT_GT(lost, 150u);
    ::CloseHandle(pipe);
}

// One racer: ready, then at the gun takes the lock or not, and holds it
// until the round is done. Exit code 0: it owned the lock; 1: it did not.
int Race(const std::string& lock, const std::string& tag) {
    HANDLE go = ::OpenEventA(SYNCHRONIZE, FALSE, ("zelmora-test-go-" + tag).c_str());
    HANDLE done = ::OpenEventA(SYNCHRONIZE, FALSE, ("zelmora-test-done-" + tag).c_str());
    HANDLE ready =
        ::OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, ("zelmora-test-ready-" + tag).c_str());
    HANDLE tried =
        ::OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, ("zelmora-test-tried-" + tag).c_str());
    if (go == nullptr || done == nullptr || ready == nullptr || tried == nullptr) {
        return 2;
    }
    ::ReleaseSemaphore(ready, 1, nullptr);
    ::WaitForSingleObject(go, 60000);
    const std::unique_ptr<COwnershipLock> held = COwnershipLock::TryTake(lock);
    ::ReleaseSemaphore(tried, 1, nullptr);
    ::WaitForSingleObject(done, 60000);
    return held ? 0 : 1;
}

} // namespace
} // namespace zelmora

int main(int argc, char** argv) {
    char self[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    zelmora::g_self = self;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.starts_with("--race=") && i + 1 < argc) {
            return zelmora::Race(argument.substr(7), argv[i + 1]);
        }
        if (argument.starts_with("--cli=")) {
            zelmora::g_cli = zelmora::WindowsPath(argument.substr(6));
        }
    }
    ::testing::InitGoogleTest(&argc, argv);
    if (zelmora::g_cli.empty()) {
        std::fputs("usage: share_win32_tests --cli=<zelmora-cli.exe> [GoogleTest options]\n",
                   stderr);
        return 2;
    }
    return RUN_ALL_TESTS();
}

// Real zelmora-cli processes sharing simulated meter 210400101: one owner,
// the others attached; what each of them records, what the owner does with
// a client that stops reading or sends rubbish, the hand-over when the
// owner is killed, and the SCPI server among them.

#include "LogRows.h"
#include "meter/DeviceLink.h"
#include "share/ShareEndpoint.h"
#include "share/ShareHub.h"
#include "share/ShareProtocol.h"
#include "sim/SimulatedMeter.h"
#include "support/ChildProcess.h"
#include "support/TempFolder.h"
#include "usb/driver/VirtualUsbDriver.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zelmora {
namespace {

using namespace std::chrono_literals;
using test::ConsecutiveIn;
using test::CountsFromZero;
using test::Eventually;
using test::Lines;
using test::ReadFile;
using test::Row;
using test::Rows;
using test::Wait;

constexpr const char* kMeter = "210400101";
// Longer than any line the owner takes.
constexpr std::size_t kMaxTestLine = kMaxLineLength + 100;

// A TCP port on 127.0.0.1 no one listens on just now.
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    ::close(fd);
    return bound ? ntohs(address.sin_port) : -1;
}

// One SCPI query to the instrument on 127.0.0.1:`port`: its answer line
// without the line feed, or "" when there is none within ten seconds.
std::string Query(int port, const std::string& query) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    timeval timeout{};
    timeout.tv_sec = 10;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    std::string answer;
    const std::string line = query + "\n";
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
        ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
        char c = 0;
        while (::recv(fd, &c, 1, 0) == 1 && c != '\n') {
            answer += c;
        }
    }
    ::close(fd);
    return answer;
}

// A power the instrument answered: a number, and no overflow or
// not-a-number mark.
bool IsPower(const std::string& answer) {
    if (answer.empty()) {
        return false;
    }
    char* end = nullptr;
    const double value = std::strtod(answer.c_str(), &end);
    return *end == '\0' && std::abs(value) < 9.8e37;
}

// zelmora-cli with these arguments, its standard error to `err`.
pid_t Spawn(const std::vector<std::string>& arguments, const std::string& err,
            const std::vector<std::string>& environment = {}) {
    return test::Spawn(ZELMORA_CLI_PROGRAM, arguments, err, environment);
}

std::string EndpointOf(const std::string& meter) {
    std::string problem;
    const auto names = NamesOfMeter(meter, problem);
    return names ? names->endpointPath : problem;
}

int ConnectTo(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    timeval timeout{};
    timeout.tv_sec = 10;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    return fd;
}

// Everything the owner sends until it closes the connection (or ten
// seconds pass).
std::string ReadToEnd(int fd) {
    std::string received;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            return received;
        }
        received.append(buffer, static_cast<std::size_t>(n));
    }
}

class ShareProgramTest : public ::testing::Test {
protected:
    std::string Path(const std::string& name) const { return folder.Path(name); }
    std::size_t RowCount(const std::string& name) const { return Rows(Path(name)).size(); }

    pid_t Log(const std::string& out, const std::vector<std::string>& more = {},
              const std::vector<std::string>& environment = {}) {
        std::vector<std::string> arguments = {"log", "--simulate=1", kMeter, "-o", Path(out)};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return Spawn(arguments, Path(out + ".err"), environment);
    }

    // `serve` of the meter on `port`, once it listens, its standard error
    // to `err`; -1 when it does not listen.
    pid_t Serve(int port, const std::string& err) {
        const pid_t server =
            Spawn({"serve", "--simulate=1", kMeter, "--scpi", std::to_string(port)}, Path(err));
        const std::string listening = "::" + std::to_string(port) + "::SOCKET";
        if (!Eventually([&] { return ReadFile(Path(err)).find(listening) != std::string::npos; })) {
            ::kill(server, SIGKILL);
            Wait(server);
            return -1;
        }
        return server;
    }

    // The owner `list` names for the meter: "pid N (program)", or "-".
    std::string ListedOwner() {
        const std::string list = Path("list.out");
        if (std::system(
                (std::string(ZELMORA_CLI_PROGRAM) + " list --simulate=1 > " + list + " 2>/dev/null")
                    .c_str()) != 0) {
            return "list failed";
        }
        const std::string text = ReadFile(list);
        const auto pid = text.find("pid ");
        if (pid == std::string::npos) {
            return text.find(kMeter) != std::string::npos ? "-" : "no meter listed";
        }
        return text.substr(pid, text.find('\n', pid) - pid);
    }

    test::TempFolder folder{"zelmora-share-"};
};

TEST_F(ShareProgramTest, ThreeProcessesOneOwnerEveryClientGetsEverySampleOnceInOrder) {
    const pid_t owner = Log("owner.csv", {"--count", "70"});
    ASSERT_TRUE(Eventually([&] { return RowCount("owner.csv") >= 3; }));
    const pid_t first = Log("first.csv", {"--count", "30"});
    const pid_t second = Log("second.csv", {"--count", "30", "--format", "csv"});

    // `list` names the owner, from any process of the user.
    const std::string list = Path("list.out");
    ASSERT_EQ(std::system((std::string(ZELMORA_CLI_PROGRAM) + " list --simulate=1 > " + list +
                           " 2>/dev/null")
                              .c_str()),
              0);
    EXPECT_NE(ReadFile(list).find("pid " + std::to_string(owner) + " (zelmora-cli)"),
              std::string::npos)
        << ReadFile(list);

    EXPECT_EQ(Wait(first), 0) << ReadFile(Path("first.csv.err"));
    EXPECT_EQ(Wait(second), 0) << ReadFile(Path("second.csv.err"));
    EXPECT_EQ(Wait(owner), 0) << ReadFile(Path("owner.csv.err"));
    const std::vector<Row> owned = Rows(Path("owner.csv"));
    ASSERT_EQ(owned.size(), 70u);
    EXPECT_TRUE(CountsFromZero(owned));
    for (const char* name : {"first.csv", "second.csv"}) {
        const std::vector<Row> attached = Rows(Path(name));
        ASSERT_EQ(attached.size(), 30u) << name;
        EXPECT_TRUE(CountsFromZero(attached)) << name << ": its own collection";
        EXPECT_TRUE(ConsecutiveIn(attached, owned)) << name << ": the owner's samples, each once";
    }
}

// A process that lists and reads a meter another process owns learns its
// id and probe from the owner and asks the meter nothing: its own copy of
// the simulated meter counts every request it would have sent.
TEST_F(ShareProgramTest, AMeterAnotherProcessOwnsIsListedAndReadWithoutAskingIt) {
    const pid_t owner = Log("owner.csv", {"--count", "600"});
    ASSERT_TRUE(Eventually([&] { return RowCount("owner.csv") >= 2; }));

    VirtualUsbDriver driver;
    // The same meter at the same place as the owner's.
    const auto meter = SimulatedMeter::MakeDemo("KV", kMeter, 1);
    meter->PlugInto(driver);
    CShareHub::Settings settings;
    settings.program = "lister";
    const auto hub = std::make_shared<CShareHub>(driver, settings);
    {
        CDeviceLink link(driver, CDeviceLink::TestTuning{}, hub);
        link.Rescan();
        const std::vector<CDeviceLink::MeterListing> listed = link.GetMeterListing();
        ASSERT_EQ(listed.size(), 1u);
        EXPECT_EQ(listed[0].id, kMeter);
        EXPECT_EQ(listed[0].probeFamily, "KV");
        EXPECT_EQ(listed[0].probeModel, "KV50");
        EXPECT_NE(listed[0].path.find("virtual-usb#1#"), std::string::npos) << listed[0].path;

        link.Start(kMeter);
        ASSERT_TRUE(link.IsRunning()) << link.GetStartProblem();
        ASSERT_TRUE(Eventually([&] { return link.HasNewSample(); }));
        EXPECT_EQ(link.GetProbeModel(), "KV50");
        link.StopMeter();
    }
    const SimulatedMeter::Counters asked = meter->GetCounters();
    EXPECT_EQ(asked.identity1, 0u);
    EXPECT_EQ(asked.identity2, 0u);
    EXPECT_EQ(asked.starts, 0u);
    EXPECT_EQ(asked.stops, 0u);
    EXPECT_EQ(asked.sampleRequests, 0u);

    ::kill(owner, SIGINT);
    EXPECT_EQ(Wait(owner), 0) << ReadFile(Path("owner.csv.err"));
    // With no owner left, the meter is asked who it is again.
    CDeviceLink alone(driver, CDeviceLink::TestTuning{}, hub);
    alone.Rescan();
    ASSERT_EQ(alone.GetMeterCount(), 1);
    EXPECT_GT(meter->GetCounters().identity1, 0u);
}

TEST_F(ShareProgramTest, AnIntervalThatIsNoMultipleOfTheOwnersIsRefusedWithTheOwnersOne) {
    const pid_t owner = Log("owner.csv", {"--count", "40"});
    ASSERT_TRUE(Eventually([&] { return RowCount("owner.csv") >= 1; }));
    const pid_t odd = Log("odd.csv", {"--interval", "250ms", "--count", "3"});
    EXPECT_EQ(Wait(odd), 1);
    EXPECT_NE(ReadFile(Path("odd.csv.err")).find("polls it every 100 ms"), std::string::npos)
        << ReadFile(Path("odd.csv.err"));
    const pid_t every3 = Log("every3.csv", {"--interval", "300ms", "--count", "4"});
    EXPECT_EQ(Wait(every3), 0) << ReadFile(Path("every3.csv.err"));
    EXPECT_EQ(Wait(owner), 0);
    const std::vector<Row> owned = Rows(Path("owner.csv"));
    const std::vector<Row> third = Rows(Path("every3.csv"));
    ASSERT_EQ(third.size(), 4u);
    // Every third of the owner's samples.
    std::size_t at = 0;
    while (at < owned.size() && owned[at].sample != third[0].sample) {
        ++at;
    }
    for (std::size_t i = 0; i < third.size(); ++i) {
        ASSERT_LT(at + 3 * i, owned.size());
        EXPECT_EQ(owned[at + 3 * i].sample, third[i].sample) << i;
    }
}

TEST_F(ShareProgramTest, AKilledOwnerIsTakenOverWithTheGapMarkedAndItsEndpointReplaced) {
    const pid_t owner = Log("owner.csv");
    ASSERT_TRUE(Eventually([&] { return RowCount("owner.csv") >= 3; }));
    const pid_t logger = Log("logger.csv", {"--count", "40"});
    const pid_t second = Log("second.csv", {"--count", "40"});
    ASSERT_TRUE(Eventually([&] { return RowCount("logger.csv") >= 10; }));
    ::kill(owner, SIGKILL);
    EXPECT_EQ(Wait(owner), 128 + SIGKILL);
    EXPECT_EQ(Wait(logger), 0) << ReadFile(Path("logger.csv.err"));
    EXPECT_EQ(Wait(second), 0) << ReadFile(Path("second.csv.err"));
    for (const char* name : {"logger.csv", "second.csv"}) {
        const std::string text = ReadFile(Path(name));
        const std::vector<Row> rows = Rows(Path(name));
        EXPECT_EQ(rows.size(), 40u) << name;
        EXPECT_TRUE(CountsFromZero(rows)) << name;
        const auto lost = text.find("# meter_lost: 210400101");
        const auto back = text.find("# meter_back: 210400101");
        EXPECT_NE(lost, std::string::npos) << text;
        EXPECT_NE(back, std::string::npos) << text;
        EXPECT_LT(lost, back);
    }

    // A lone owner killed outright leaves its endpoint file; the next owner
    // replaces it.
    const pid_t lone = Log("lone.csv");
    ASSERT_TRUE(Eventually([&] { return RowCount("lone.csv") >= 1; }));
    ::kill(lone, SIGKILL);
    Wait(lone);
    struct stat info {};
    ASSERT_EQ(::lstat(EndpointOf(kMeter).c_str(), &info), 0) << "left behind";
    const pid_t next = Log("next.csv", {"--count", "5"});
    EXPECT_EQ(Wait(next), 0) << ReadFile(Path("next.csv.err"));
    EXPECT_EQ(RowCount("next.csv"), 5u);
    EXPECT_NE(::lstat(EndpointOf(kMeter).c_str(), &info), 0) << "removed by the owner that ended";
}

TEST_F(ShareProgramTest, AStoppedClientIsToldItsLossAndCostsNoOneElseASample) {
    // Ten samples in a client's queue: the stopped one overflows it soon.
    const std::vector<std::string> smallQueue = {"ZELMORA_SHARE_QUEUE=10"};
    const pid_t owner = Log("owner.csv", {"--count", "110"}, smallQueue);
    ASSERT_TRUE(Eventually([&] { return RowCount("owner.csv") >= 2; }));
    const pid_t steady = Log("steady.csv", {"--count", "80"});
    const pid_t stopped = Log("stopped.csv", {"--count", "80"});
    ASSERT_TRUE(Eventually([&] { return RowCount("stopped.csv") >= 5; }));
    ::kill(stopped, SIGSTOP);
    std::this_thread::sleep_for(5s);
    ::kill(stopped, SIGCONT);
    EXPECT_EQ(Wait(steady), 0);
    EXPECT_EQ(Wait(stopped), 0) << ReadFile(Path("stopped.csv.err"));
    EXPECT_EQ(Wait(owner), 0);

    const std::vector<Row> owned = Rows(Path("owner.csv"));
    EXPECT_EQ(owned.size(), 110u);
    EXPECT_TRUE(CountsFromZero(owned));
    const std::vector<Row> steadyRows = Rows(Path("steady.csv"));
    EXPECT_EQ(steadyRows.size(), 80u);
    EXPECT_TRUE(ConsecutiveIn(steadyRows, owned));

    const std::string text = ReadFile(Path("stopped.csv"));
    EXPECT_NE(text.find("# samples_lost: 210400101"), std::string::npos) << text;
    EXPECT_NE(ReadFile(Path("stopped.csv.err")).find("samples lost"), std::string::npos)
        << ReadFile(Path("stopped.csv.err"));
    EXPECT_EQ(RowCount("stopped.csv"), 80u) << "it goes on after its loss";
}

TEST_F(ShareProgramTest, HostileBytesCostOnlyTheirOwnConnection) {
    const pid_t owner = Log("owner.csv", {"--count", "80"});
    ASSERT_TRUE(Eventually([&] { return RowCount("owner.csv") >= 2; }));
    const pid_t watcher = Log("watcher.csv", {"--count", "50"});
    ASSERT_TRUE(Eventually([&] { return RowCount("watcher.csv") >= 2; }));
    const std::string endpoint = EndpointOf(kMeter);

    const std::vector<std::string> requests = {
        std::string(kMaxTestLine, 'x'),                      // no end of line, ever
        "\xff\xfe\xfd\n",                                    // not UTF-8
        "{\"class\":\"watch\",\"interval_ms\":0}\n",         // out of range
        "{\"class\":\"hello\"}\n",                           // not a request
        "{\"class\":\"watch\",\"interval_ms\":100}\nmore\n", // something after the watch
    };
    for (const std::string& request : requests) {
        const int fd = ConnectTo(endpoint);
        ASSERT_GE(fd, 0);
        (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        const std::vector<std::string> lines = Lines(ReadToEnd(fd));
        ::close(fd);
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines.front().find("\"class\":\"hello\""), std::string::npos);
        EXPECT_NE(lines.back().find("\"class\":\"error\""), std::string::npos)
            << request.substr(0, 40) << ": " << lines.back();
    }
    // A truncated request and a client gone at once.
    for (const std::string& request : {std::string("{\"class\":\"wat"), std::string()}) {
        const int fd = ConnectTo(endpoint);
        ASSERT_GE(fd, 0);
        (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        ::close(fd);
    }
    // A million tiny messages: the first is wrong, the rest are not read.
    {
        const int fd = ConnectTo(endpoint);
        ASSERT_GE(fd, 0);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        const std::string tiny = "{}\n";
        std::string many;
        for (int i = 0; i < 1000; ++i) {
            many += tiny;
        }
        for (int i = 0; i < 1000; ++i) {
            if (::send(fd, many.data(), many.size(), MSG_NOSIGNAL) < 0 && errno != EAGAIN) {
                break;
            }
        }
        ::close(fd);
    }

    EXPECT_EQ(Wait(watcher), 0);
    EXPECT_EQ(Wait(owner), 0) << ReadFile(Path("owner.csv.err"));
    const std::vector<Row> owned = Rows(Path("owner.csv"));
    EXPECT_EQ(owned.size(), 80u) << "the owner measured on";
    EXPECT_TRUE(CountsFromZero(owned));
    EXPECT_TRUE(ConsecutiveIn(Rows(Path("watcher.csv")), owned));
}

// The SCPI server opens its meters as log does: it owns a meter others
// attach to, or it attaches to the owner and takes the meter over when the
// owner ends.
TEST_F(ShareProgramTest, ServeOwnsAMeterForOthersOrAttachesAndTakesItOver) {
    const int port = FreePort();
    ASSERT_GT(port, 0);
    {
        const pid_t server = Serve(port, "owner.err");
        ASSERT_GT(server, 0) << ReadFile(Path("owner.err"));
        EXPECT_EQ(ListedOwner(), "pid " + std::to_string(server) + " (zelmora-cli)");
        const pid_t logger = Log("attached.csv", {"--count", "5"});
        EXPECT_EQ(Wait(logger), 0) << ReadFile(Path("attached.csv.err"));
        EXPECT_EQ(RowCount("attached.csv"), 5u);
        EXPECT_TRUE(IsPower(Query(port, "MEAS:POW?")));
        ::kill(server, SIGTERM);
        EXPECT_EQ(Wait(server), 0) << ReadFile(Path("owner.err"));
    }

    const pid_t owner = Log("owner.csv");
    ASSERT_TRUE(Eventually([&] { return RowCount("owner.csv") >= 1; }));
    const pid_t server = Serve(port, "attached.err");
    ASSERT_GT(server, 0) << ReadFile(Path("attached.err"));
    EXPECT_EQ(ListedOwner(), "pid " + std::to_string(owner) + " (zelmora-cli)");
    EXPECT_TRUE(IsPower(Query(port, "MEAS:POW?")));
    ::kill(owner, SIGKILL);
    Wait(owner);
    const std::string itself = "pid " + std::to_string(server) + " (zelmora-cli)";
    EXPECT_TRUE(Eventually([&] { return ListedOwner() == itself; })) << ListedOwner();
    EXPECT_TRUE(IsPower(Query(port, "MEAS:POW?")));
    ::kill(server, SIGTERM);
    EXPECT_EQ(Wait(server), 0) << ReadFile(Path("attached.err"));
}

TEST_F(ShareProgramTest, AnotherUserCannotAttach) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "a second user needs a test that runs as root";
    }
    const pid_t owner = Log("owner.csv", {"--count", "30"});
    ASSERT_TRUE(Eventually([&] { return RowCount("owner.csv") >= 1; }));
    const std::string endpoint = EndpointOf(kMeter);
    const pid_t stranger = ::fork();
    ASSERT_GE(stranger, 0);
    if (stranger == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(2);
        }
        const int fd = ConnectTo(endpoint);
        ::_exit(fd < 0 && errno == EACCES ? 0 : 1);
    }
    EXPECT_EQ(Wait(stranger), 0) << "nobody reached the owner's endpoint";
    EXPECT_EQ(Wait(owner), 0);
    EXPECT_EQ(RowCount("owner.csv"), 30u);
}

} // namespace
} // namespace zelmora

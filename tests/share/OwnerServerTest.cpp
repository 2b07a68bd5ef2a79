// The owner's side of a shared meter in this process, its clients raw
// connections to its endpoint: what they are told and get when the owner
// changes its poll period, when one of them stops reading, and when it ends
// with samples still queued for them.

#include "share/ShareEndpoint.h"
#include "share/ShareHub.h"
#include "share/ShareProtocol.h"
#include "sim/SimulatedMeter.h"
#include "support/ChildProcess.h"
#include "usb/driver/VirtualUsbDriver.h"

#include <atomic>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace zelmora {
namespace {

using namespace std::chrono_literals;

constexpr const char* kMeter = "100000007";

// The owner's own front end: counts the readings it is given.
class Counter final : public ReadingListener {
public:
    bool WantsReading() override { return true; }
    void OnReading(const MeterReading& reading) override {
        last = reading.sequence;
        ++count;
    }
    void OnReadingsLost(std::uint64_t) override {}
    void OnGap(bool) override {}
    void OnClosed() override {}
    std::atomic<std::uint64_t> last{0};
    std::atomic<std::uint64_t> count{0};
};

// A raw client of the meter's endpoint.
class Client {
public:
    explicit Client(const std::string& path) {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            ::close(m_fd);
            m_fd = -1;
            return;
        }
        timeval timeout{};
        timeout.tv_sec = 10;
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    }
    ~Client() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connected() const { return m_fd >= 0; }
    void Watch(int intervalMs) {
        ShareMessage watch;
        watch.kind = ShareMessage::Kind::Watch;
        watch.intervalMs = intervalMs;
        const std::string line = EncodeMessage(watch);
        (void)::send(m_fd, line.data(), line.size(), MSG_NOSIGNAL);
    }
    // The next message; none when the connection ends or stays silent.
    std::optional<ShareMessage> Next() {
        std::string line;
        for (;;) {
            switch (m_splitter.Next(line)) {
            case CLineSplitter::Result::Line: {
                std::string error;
                return DecodeMessage(line, error);
            }
            case CLineSplitter::Result::TooLong:
                return std::nullopt;
            case CLineSplitter::Result::NeedMore:
                break;
            }
            char buffer[4096];
            const ssize_t n = ::recv(m_fd, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                return std::nullopt;
            }
            m_splitter.Feed(std::string_view(buffer, static_cast<std::size_t>(n)));
        }
    }

private:
    int m_fd = -1;
    CLineSplitter m_splitter;
};

class OwnerServerTest : public ::testing::Test {
protected:
    // `queue`: samples each client's queue holds, 0 for the hub's default.
    explicit OwnerServerTest(std::size_t queue = 0) {
        meter = SimulatedMeter::MakeDemo("KV", kMeter, 1);
        meter->PlugInto(driver);
        CShareHub::Settings settings;
        settings.program = "owner";
        settings.pollSpeedUp = 10;
        settings.clientQueueCapacity = queue;
        hub = std::make_unique<CShareHub>(driver, settings);
        std::string problem;
        source = hub->Open(kMeter, 100, problem);
        EXPECT_TRUE(source) << problem;
        if (source) {
            source->Join(counter);
        }
        endpoint = NamesOfMeter(kMeter, problem)->endpointPath;
    }
    ~OwnerServerTest() override {
        if (source) {
            source->Leave(counter, true);
        }
        source.reset();
    }

    VirtualUsbDriver driver;
    std::shared_ptr<SimulatedMeter> meter;
    std::unique_ptr<CShareHub> hub;
    Counter counter;
    std::shared_ptr<MeterSource> source;
    std::string endpoint;
};

// A client whose watch the owner takes while the owner changes its period:
// either the watch is served at the period it is told and the change is
// refused, or the change comes first and the watch is answered with the
// new period. Never both: a client told 100 ms that is sent a sample every
// 200 ms.
TEST_F(OwnerServerTest, AChangeOfPeriodAndAWatchAtTheSameTimeNeverLeaveAClientToldWrong) {
    ASSERT_TRUE(source);
    int served = 0;
    int changed = 0;
    for (int round = 0; round < 1000; ++round) {
        std::string problem;
        ASSERT_TRUE(test::Eventually([&] { return source->SetPollPeriod(100, problem); }))
            << problem;
        Client client(endpoint);
        ASSERT_TRUE(client.Connected());
        ASSERT_TRUE(client.Next()); // hello
        std::atomic<bool> go{false};
        std::promise<bool> change;
        // The change comes a little later each round, so that some round
        // meets the owner in the middle of serving the watch.
        const auto delay = std::chrono::microseconds(round % 100);
        std::thread owner([&] {
            while (!go.load()) {
            }
            const auto at = std::chrono::steady_clock::now() + delay;
            while (std::chrono::steady_clock::now() < at) {
            }
            std::string why;
            change.set_value(source->SetPollPeriod(200, why));
        });
        client.Watch(100);
        go = true;
        const std::optional<ShareMessage> answer = client.Next();
        const bool periodChanged = change.get_future().get();
        owner.join();
        ASSERT_TRUE(answer);
        const bool watching = answer->kind == ShareMessage::Kind::Watching;
        EXPECT_FALSE(watching && periodChanged)
            << "round " << round << ": told every " << answer->intervalMs
            << " ms while the owner polls every " << source->GetPollPeriod() << " ms";
        served += watching ? 1 : 0;
        changed += periodChanged ? 1 : 0;
        if (watching && periodChanged) {
            break;
        }
    }
    // Both outcomes came up, so the two really met.
    EXPECT_GT(served, 0);
    EXPECT_GT(changed, 0);
}

// Clients whose queue holds a few dozen samples, fewer than a stopped
// client misses.
class SmallQueueTest : public OwnerServerTest {
protected:
    SmallQueueTest() : OwnerServerTest(40) {}

    // A client watching every sample; false when it is not told so.
    static bool Watching(Client& client) {
        if (!client.Connected() || !client.Next()) {
            return false;
        }
        client.Watch(100);
        const std::optional<ShareMessage> watching = client.Next();
        return watching && watching->kind == ShareMessage::Kind::Watching;
    }
};

// A client that stops reading costs the owner's poll and the other clients
// nothing. When it reads again, its backlog comes in writes of many lines
// at once: every line arrives whole, in order, and the samples it lost are
// told in one message just before the first sample after the gap.
TEST_F(SmallQueueTest, ABacklogArrivesInWholeLinesWithItsLossToldAndCostsNoOneElse) {
    ASSERT_TRUE(source);
    Client slow(endpoint);
    Client steady(endpoint);
    ASSERT_TRUE(Watching(slow));
    ASSERT_TRUE(Watching(steady));

    // The steady client reads all along.
    std::vector<std::uint64_t> steadySeen;
    std::atomic<std::uint64_t> steadyLast{0};
    std::atomic<bool> stop{false};
    std::thread steadyReader([&] {
        while (!stop.load()) {
            const std::optional<ShareMessage> message = steady.Next();
            if (!message) {
                break;
            }
            ASSERT_EQ(message->kind, ShareMessage::Kind::Sample);
            steadySeen.push_back(message->reading.sequence);
            steadyLast = message->reading.sequence;
        }
    });

    // The slow one reads nothing while the owner takes far more samples
    // than its socket and queue hold.
    const std::uint64_t from = counter.count.load();
    ASSERT_TRUE(test::Eventually([&] { return counter.count.load() >= from + 300; }));
    EXPECT_TRUE(test::Eventually([&] { return steadyLast.load() + 5 >= counter.last.load(); }))
        << "the steady client fell behind the owner's poll";

    // Now it reads until it has caught up with the owner.
    const std::uint64_t target = counter.last.load() + 20;
    std::vector<ShareMessage> received;
    while (received.empty() || received.back().kind != ShareMessage::Kind::Sample ||
           received.back().reading.sequence < target) {
        const std::optional<ShareMessage> message = slow.Next();
        ASSERT_TRUE(message) << "a line that does not decode, or silence, after " << received.size()
                             << " messages";
        received.push_back(*message);
    }
    stop = true;
    steadyReader.join();

    std::uint64_t lostTold = 0;
    std::size_t gaps = 0;
    std::optional<std::uint64_t> previous;
    std::uint64_t pendingLoss = 0;
    for (const ShareMessage& message : received) {
        if (message.kind == ShareMessage::Kind::Lost) {
            EXPECT_EQ(pendingLoss, 0u) << "two loss messages without a sample between";
            pendingLoss = message.lostSamples;
            lostTold += message.lostSamples;
            continue;
        }
        ASSERT_EQ(message.kind, ShareMessage::Kind::Sample);
        if (previous) {
            EXPECT_EQ(message.reading.sequence, *previous + 1 + pendingLoss)
                << "a sample missing or repeated without being told";
            gaps += pendingLoss > 0;
        }
        pendingLoss = 0;
        previous = message.reading.sequence;
    }
    EXPECT_GT(lostTold, 100u);
    EXPECT_GE(gaps, 1u);

    ASSERT_FALSE(steadySeen.empty());
    for (std::size_t i = 1; i < steadySeen.size(); ++i) {
        ASSERT_EQ(steadySeen[i], steadySeen[i - 1] + 1) << "the steady client lost a sample";
    }
}

// An owner that stops sends each client every sample it had queued for it,
// then tells it that it stops: nothing taken before the end goes missing.
TEST_F(OwnerServerTest, AnOwnerThatStopsFlushesWhatItQueuedBeforeTellingItsEnd) {
    ASSERT_TRUE(source);
    Client client(endpoint);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Next()); // hello
    client.Watch(100);
    const std::optional<ShareMessage> watching = client.Next();
    ASSERT_TRUE(watching && watching->kind == ShareMessage::Kind::Watching);
    // The client reads nothing for a while: far more samples wait than the
    // socket holds.
    const std::uint64_t from = counter.count.load();
    ASSERT_TRUE(test::Eventually([&] { return counter.count.load() >= from + 150; }));

    std::vector<ShareMessage> received;
    std::thread reader([&] {
        while (const std::optional<ShareMessage> message = client.Next()) {
            received.push_back(*message);
            if (message->kind == ShareMessage::Kind::End) {
                break;
            }
        }
    });
    source->Leave(counter, true);
    const std::uint64_t lastTaken = counter.last.load();
    source.reset();
    reader.join();

    ASSERT_GE(received.size(), 2u);
    EXPECT_EQ(received.back().kind, ShareMessage::Kind::End);
    EXPECT_EQ(received.back().why, "owner_stops");
    std::uint64_t expected = received.front().reading.sequence;
    for (std::size_t i = 0; i + 1 < received.size(); ++i) {
        ASSERT_EQ(received[i].kind, ShareMessage::Kind::Sample) << i;
        EXPECT_EQ(received[i].reading.sequence, expected++) << i;
    }
    EXPECT_GE(expected - 1, lastTaken) << "every sample the owner took reached the client";
}

} // namespace
} // namespace zelmora

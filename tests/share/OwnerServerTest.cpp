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
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace zelmora {
namespace {

using namespace std::chrono_literals;

constexpr const char* kMeter = "100000007";
constexpr const char* kOther = "100000008";

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

// Every reading's sequence number, for a front end that checks their order.
class Recorder final : public ReadingListener {
public:
    bool WantsReading() override { return true; }
    void OnReading(const MeterReading& reading) override {
        std::lock_guard lock(m_mutex);
        m_sequences.push_back(reading.sequence);
    }
    void OnReadingsLost(std::uint64_t) override { ++lost; }
    void OnGap(bool resumed) override { (resumed ? resumes : gaps)++; }
    void OnClosed() override {}
    std::vector<std::uint64_t> Sequences() {
        std::lock_guard lock(m_mutex);
        return m_sequences;
    }
    std::atomic<int> lost{0};
    std::atomic<int> gaps{0};
    std::atomic<int> resumes{0};

private:
    std::mutex m_mutex;
    std::vector<std::uint64_t> m_sequences;
};

bool Consecutive(const std::vector<std::uint64_t>& sequences) {
    for (std::size_t i = 1; i < sequences.size(); ++i) {
        if (sequences[i] != sequences[i - 1] + 1) {
            return false;
        }
    }
    return true;
}

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
    // `meterId` empty: the endpoint's own meter.
    void Watch(int intervalMs, const std::string& meterId = {}) {
        ShareMessage watch;
        watch.kind = ShareMessage::Kind::Watch;
        watch.intervalMs = intervalMs;
        watch.meterId = meterId;
        Send(watch);
    }
    void Send(const ShareMessage& message) {
        const std::string line = EncodeMessage(message);
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

// An owner of two meters, and a process of the same user that watches both.
class TwoMetersTest : public ::testing::Test {
protected:
    TwoMetersTest() {
        for (const char* id : {kMeter, kOther}) {
            meters.push_back(SimulatedMeter::MakeDemo("KV", id, 1));
            meters.back()->PlugInto(driver);
        }
        owner = std::make_unique<CShareHub>(driver, Settings("owner"));
        for (const char* id : {kMeter, kOther}) {
            std::string problem;
            sources.push_back(owner->Open(id, 100, problem));
            EXPECT_TRUE(sources.back()) << problem;
            if (sources.back()) {
                sources.back()->Join(counters[sources.size() - 1]);
            }
        }
        std::string problem;
        endpoint = NamesOfMeter(kMeter, problem)->endpointPath;
    }
    ~TwoMetersTest() override {
        for (std::size_t i = 0; i < sources.size(); ++i) {
            if (sources[i]) {
                sources[i]->Leave(counters[i], true);
            }
        }
        sources.clear();
    }
    static CShareHub::Settings Settings(const char* program) {
        CShareHub::Settings settings;
        settings.program = program;
        settings.pollSpeedUp = 10;
        return settings;
    }
    // Lets go of one of the owner's meters.
    void Release(std::size_t index) {
        sources[index]->Leave(counters[index], true);
        sources[index].reset();
    }

    VirtualUsbDriver driver;
    std::vector<std::shared_ptr<SimulatedMeter>> meters;
    std::unique_ptr<CShareHub> owner;
    Counter counters[2];
    std::vector<std::shared_ptr<MeterSource>> sources;
    std::string endpoint;
};

// One connection carries several meters of the owner: each sample names its
// meter and each meter's come in order; a meter the owner does not serve is
// refused without ending the connection; a meter is let go of, or ends, on
// its own, and the connection closes with the last one.
TEST_F(TwoMetersTest, OneConnectionCarriesSeveralMetersEachEndingOnItsOwn) {
    ASSERT_EQ(sources.size(), 2u);
    Client client(endpoint);
    ASSERT_TRUE(client.Connected());
    const std::optional<ShareMessage> hello = client.Next();
    ASSERT_TRUE(hello && hello->kind == ShareMessage::Kind::Hello);
    EXPECT_TRUE(hello->joins);
    client.Watch(100);
    const std::optional<ShareMessage> watching = client.Next();
    ASSERT_TRUE(watching && watching->kind == ShareMessage::Kind::Watching);
    client.Watch(200, kOther);
    client.Watch(100, "999999999");

    std::map<std::string, std::vector<std::uint64_t>> seen;
    bool otherWatched = false;
    bool unknownRefused = false;
    while (seen[kMeter].size() < 20 || seen[kOther].size() < 10) {
        const std::optional<ShareMessage> message = client.Next();
        ASSERT_TRUE(message);
        switch (message->kind) {
        case ShareMessage::Kind::Watching:
            EXPECT_EQ(message->meterId, kOther);
            EXPECT_EQ(message->every, 2);
            otherWatched = true;
            break;
        case ShareMessage::Kind::Refused:
            EXPECT_EQ(message->meterId, "999999999");
            EXPECT_NE(message->reason.find("does not serve"), std::string::npos);
            unknownRefused = true;
            break;
        case ShareMessage::Kind::Sample:
            ASSERT_TRUE(message->meterId == kMeter || message->meterId == kOther)
                << message->meterId;
            seen[message->meterId].push_back(message->reading.sequence);
            break;
        default:
            FAIL() << EncodeMessage(*message);
        }
    }
    EXPECT_TRUE(otherWatched);
    EXPECT_TRUE(unknownRefused);
    EXPECT_TRUE(Consecutive(seen[kMeter]));
    for (std::size_t i = 1; i < seen[kOther].size(); ++i) {
        EXPECT_EQ(seen[kOther][i], seen[kOther][i - 1] + 2) << "every second sample";
    }

    // The endpoint's own meter is let go of; the other one goes on.
    ShareMessage unwatch;
    unwatch.kind = ShareMessage::Kind::Unwatch;
    unwatch.meterId = kMeter;
    client.Send(unwatch);
    std::size_t otherAfter = 0;
    std::size_t firstAfter = 0;
    while (otherAfter < 10) {
        const std::optional<ShareMessage> message = client.Next();
        ASSERT_TRUE(message && message->kind == ShareMessage::Kind::Sample);
        // A few may have been on their way.
        if (message->meterId == kOther) {
            ++otherAfter;
        } else if (otherAfter >= 2) {
            ++firstAfter;
        }
    }
    EXPECT_EQ(firstAfter, 0u);

    // The other one ends: told by name, and the connection, left with no
    // meter, closes.
    Release(1);
    std::optional<ShareMessage> message;
    while ((message = client.Next()) && message->kind == ShareMessage::Kind::Sample) {
    }
    ASSERT_TRUE(message);
    EXPECT_EQ(message->kind, ShareMessage::Kind::End);
    EXPECT_EQ(message->meterId, kOther);
    EXPECT_EQ(message->why, "owner_stops");
    EXPECT_FALSE(client.Next()) << "the connection closed";
}

// A process that watches two meters of one owner: when the owner lets go of
// one of them, this process takes that one over, and the other goes on
// without a gap or a loss.
TEST_F(TwoMetersTest, OneMeterHandedOverCostsTheOtherOnItsConnectionNothing) {
    ASSERT_EQ(sources.size(), 2u);
    CShareHub client(driver, Settings("client"));
    Recorder first;
    Recorder second;
    std::string problem;
    const std::shared_ptr<MeterSource> firstSource = client.Open(kMeter, 100, problem);
    ASSERT_TRUE(firstSource) << problem;
    const std::shared_ptr<MeterSource> secondSource = client.Open(kOther, 100, problem);
    ASSERT_TRUE(secondSource) << problem;
    firstSource->Join(first);
    secondSource->Join(second);
    EXPECT_EQ(client.OwnerOf(kMeter)->program, "owner");
    EXPECT_EQ(client.OwnerOf(kOther)->program, "owner");
    ASSERT_TRUE(test::Eventually([&] { return second.Sequences().size() >= 20; }));

    Release(0);
    ASSERT_TRUE(test::Eventually([&] { return first.resumes.load() == 1; }));
    EXPECT_EQ(client.OwnerOf(kMeter)->program, "client") << "taken over";
    const std::size_t before = second.Sequences().size();
    ASSERT_TRUE(test::Eventually([&] { return second.Sequences().size() >= before + 20; }));
    const std::size_t firstBefore = first.Sequences().size();
    ASSERT_TRUE(test::Eventually([&] { return first.Sequences().size() >= firstBefore + 20; }));

    EXPECT_EQ(second.gaps.load(), 0);
    EXPECT_EQ(second.lost.load(), 0);
    EXPECT_TRUE(Consecutive(second.Sequences()));
    EXPECT_EQ(client.OwnerOf(kOther)->program, "owner");
    firstSource->Leave(first, true);
    secondSource->Leave(second, true);
}

} // namespace
} // namespace zelmora

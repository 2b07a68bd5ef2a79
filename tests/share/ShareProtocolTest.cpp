// The owner's messages and the ownership lock, without a meter.

#include "share/ShareProtocol.h"

#include "share/ShareEndpoint.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace zelmora {
namespace {

std::optional<ShareMessage> Decode(const std::string& line) {
    std::string error;
    return DecodeMessage(line, error);
}

TEST(ShareProtocolTest, EveryMessageReadsBackAsItWasSent) {
    ShareMessage sample;
    sample.kind = ShareMessage::Kind::Sample;
    sample.reading.sequence = 1234567890123ULL;
    sample.reading.wavelength = 10600;
    sample.reading.reading = 65535;
    sample.reading.range = 255;
    sample.reading.utcTime =
        std::chrono::system_clock::time_point(std::chrono::nanoseconds(1796745600123456789LL));
    sample.reading.monotonicTime =
        std::chrono::steady_clock::time_point(std::chrono::nanoseconds(98765432123LL));
    sample.power = 0.1 + 0.2; // no decimal text of its own: the shortest that reads back
    sample.unit = "W";
    sample.status = "ok";
    const std::string line = EncodeMessage(sample);
    ASSERT_EQ(line.back(), '\n');
    ASSERT_EQ(line.find('\n'), line.size() - 1) << "one line";
    const auto back = Decode(line.substr(0, line.size() - 1));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->reading, sample.reading);
    EXPECT_EQ(back->power, sample.power);
    EXPECT_EQ(back->status, "ok");

    sample.power.reset();
    sample.status = "no_conversion";
    const auto none = Decode(EncodeMessage(sample));
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->power);

    ShareMessage hello;
    hello.kind = ShareMessage::Kind::Hello;
    hello.version = kShareProtocolVersion;
    hello.meterId = "210400101";
    hello.probeFamily = "KV";
    hello.probeModel = "KV50";
    hello.intervalMs = 100;
    hello.ownerPid = 4242;
    hello.ownerProgram = "zelmora-cli";
    const auto helloBack = Decode(EncodeMessage(hello));
    ASSERT_TRUE(helloBack);
    EXPECT_EQ(helloBack->meterId, "210400101");
    EXPECT_EQ(helloBack->ownerPid, 4242);
    EXPECT_EQ(helloBack->intervalMs, 100);
    EXPECT_EQ(helloBack->devicePath, "") << "an owner that does not say where its meter sits";
    hello.devicePath = "usb:1-4.2";
    const auto placed = Decode(EncodeMessage(hello));
    ASSERT_TRUE(placed);
    EXPECT_EQ(placed->devicePath, "usb:1-4.2");

    // An owner that serves several meters on one connection says so, and
    // every message of those meters names its meter.
    hello.joins = true;
    const auto joining = Decode(EncodeMessage(hello));
    ASSERT_TRUE(joining);
    EXPECT_TRUE(joining->joins);
    EXPECT_FALSE(helloBack->joins) << "an owner that does not say so does not join";
    sample.meterId = "210400102";
    for (const ShareMessage::Kind kind :
         {ShareMessage::Kind::Sample, ShareMessage::Kind::Watch, ShareMessage::Kind::Watching,
          ShareMessage::Kind::Unwatch, ShareMessage::Kind::Refused, ShareMessage::Kind::Lost,
          ShareMessage::Kind::End}) {
        ShareMessage named = sample;
        named.kind = kind;
        named.intervalMs = 200;
        named.why = "owner_stops";
        named.reason = "why";
        const auto namedBack = Decode(EncodeMessage(named));
        ASSERT_TRUE(namedBack) << EncodeMessage(named);
        EXPECT_EQ(namedBack->kind, kind);
        EXPECT_EQ(namedBack->meterId, "210400102") << EncodeMessage(named);
    }

    // A reason that is not UTF-8 still goes out as one valid line.
    ShareMessage error;
    error.kind = ShareMessage::Kind::Error;
    error.reason = "bad \xff\xfe bytes";
    const auto errorBack = Decode(EncodeMessage(error));
    ASSERT_TRUE(errorBack);
    EXPECT_EQ(errorBack->reason, "bad \xEF\xBF\xBD\xEF\xBF\xBD bytes");
}

TEST(ShareProtocolTest, AnythingElseIsRefusedWithAReason) {
    const std::vector<std::string> hostile = {
        "",
        "{",
        "[]",
        "42",
        "{\"class\":7}",
        "{\"class\":\"nonsense\"}",
        "{\"class\":\"watch\"}",
        "{\"class\":\"watch\",\"interval_ms\":99}",
        "{\"class\":\"watch\",\"interval_ms\":1e400}",
        "{\"class\":\"watch\",\"interval_ms\":\"100\"}",
        "{\"class\":\"watch\",\"interval_ms\":18446744073709551615}",
        "{\"class\":\"watch\",\"interval_ms\":100.5}",
        "{\"class\":\"sample\",\"seq\":-1,\"wavelength\":1,\"reading\":1,\"range\":1,"
        "\"utc_ns\":0,\"mono_ns\":0,\"status\":\"ok\",\"unit\":\"W\"}",
        "{\"class\":\"sample\",\"seq\":1,\"wavelength\":1,\"reading\":65536,\"range\":1,"
        "\"utc_ns\":0,\"mono_ns\":0,\"status\":\"ok\",\"unit\":\"W\"}",
        "{\"class\":\"hello\",\"zelmora\":\"other\"}",
        "{\"class\":\"end\",\"why\":\"because\"}",
        "{\"class\":\"unwatch\"}",
        "{\"class\":\"watch\",\"interval_ms\":100,\"meter\":7}",
        "{\"class\":\"refused\",\"meter\":\"210400101\"}",
        "{\"class\":\"hello\",\"zelmora\":\"share\",\"version\":1,\"meter\":\"1\","
        "\"probe_family\":\"KV\",\"probe_model\":\"KV50\",\"interval_ms\":100,\"pid\":1,"
        "\"program\":\"x\",\"joins\":1}",
        "{\"class\":\"error\",\"reason\":\"" + std::string(600, 'x') + "\"}",
        "{\"class\":\"error\",\"reason\":\"\xff\"}",
        "{\"class\":\"watch\",\"interval_ms\":100}" + std::string(kMaxLineLength, ' '),
    };
    for (const std::string& line : hostile) {
        std::string error;
        EXPECT_FALSE(DecodeMessage(line, error)) << line.substr(0, 80);
        EXPECT_FALSE(error.empty()) << line.substr(0, 80);
    }
    EXPECT_TRUE(Decode("{\"class\":\"watch\",\"interval_ms\":300,\"extra\":[1,2]}"))
        << "unknown fields are for later versions";
}

TEST(ShareProtocolTest, TheSplitterGivesWholeLinesAndStopsAtTheLimit) {
    CLineSplitter splitter;
    std::string line;
    splitter.Feed("ab");
    EXPECT_EQ(splitter.Next(line), CLineSplitter::Result::NeedMore);
    splitter.Feed("c\n\nde");
    ASSERT_EQ(splitter.Next(line), CLineSplitter::Result::Line);
    EXPECT_EQ(line, "abc");
    ASSERT_EQ(splitter.Next(line), CLineSplitter::Result::Line);
    EXPECT_EQ(line, "");
    EXPECT_EQ(splitter.Next(line), CLineSplitter::Result::NeedMore);
    splitter.Feed("f\n");
    ASSERT_EQ(splitter.Next(line), CLineSplitter::Result::Line);
    EXPECT_EQ(line, "def");

    // A line may fill the limit with its LF, not pass it, however it comes.
    CLineSplitter longest;
    longest.Feed(std::string(kMaxLineLength - 1, 'x'));
    longest.Feed("\n");
    EXPECT_EQ(longest.Next(line), CLineSplitter::Result::Line);
    CLineSplitter tooLong;
    for (std::size_t i = 0; i < kMaxLineLength; i += 100) {
        tooLong.Feed(std::string(100, 'x'));
    }
    EXPECT_EQ(tooLong.Next(line), CLineSplitter::Result::TooLong);
    CLineSplitter tooLongWithEnd;
    tooLongWithEnd.Feed(std::string(kMaxLineLength, 'x') + "\n");
    EXPECT_EQ(tooLongWithEnd.Next(line), CLineSplitter::Result::TooLong);
}

TEST(OwnershipLockTest, OneHolderAtATimeAndNothingLeftBehind) {
    const std::string name = "zelmora-test-lock-" + std::to_string(::getpid());
    {
        auto first = COwnershipLock::TryTake(name);
        ASSERT_TRUE(first);
        EXPECT_FALSE(COwnershipLock::TryTake(name)) << "held in this process too";
    }
    EXPECT_TRUE(COwnershipLock::TryTake(name)) << "released with its holder";

    // A holder killed outright leaves nothing that blocks the next one.
    int taken[2];
    ASSERT_EQ(::pipe(taken), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto held = COwnershipLock::TryTake(name);
        const char won = held ? '1' : '0';
        (void)::write(taken[1], &won, 1);
        ::pause();
        ::_exit(0);
    }
    char won = 0;
    ASSERT_EQ(::read(taken[0], &won, 1), 1);
    ::close(taken[0]);
    ::close(taken[1]);
    EXPECT_EQ(won, '1');
    EXPECT_FALSE(COwnershipLock::TryTake(name)) << "the child holds it";
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(COwnershipLock::TryTake(name));
}

TEST(OwnershipLockTest, TwoProcessesRacingOneHundredTimesMakeExactlyOneOwner) {
    for (int round = 0; round < 100; ++round) {
        const std::string name =
            "zelmora-test-race-" + std::to_string(::getpid()) + "-" + std::to_string(round);
        int start[2];
        int hold[2];
        int result[2];
        ASSERT_EQ(::pipe(start), 0);
        ASSERT_EQ(::pipe(hold), 0);
        ASSERT_EQ(::pipe(result), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < 2; ++i) {
            const pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                ::close(start[1]);
                ::close(hold[1]);
                ::close(result[0]);
                char byte = 0;
                // Both wait for the end of the same pipe: they go at the
                // same moment.
                (void)::read(start[0], &byte, 1);
                auto held = COwnershipLock::TryTake(name);
                const char won = held ? '1' : '0';
                (void)::write(result[1], &won, 1);
                // The lock is held until both have tried.
                (void)::read(hold[0], &byte, 1);
                ::_exit(0);
            }
            children.push_back(child);
        }
        ::close(start[0]);
        ::close(hold[0]);
        ::close(result[1]);
        ::close(start[1]);
        char outcomes[2] = {};
        ASSERT_EQ(::read(result[0], &outcomes[0], 1), 1);
        ASSERT_EQ(::read(result[0], &outcomes[1], 1), 1);
        ::close(result[0]);
        ::close(hold[1]);
        for (const pid_t child : children) {
            ::waitpid(child, nullptr, 0);
        }
        EXPECT_EQ((outcomes[0] == '1') + (outcomes[1] == '1'), 1) << "round " << round;
    }
}

} // namespace
} // namespace zelmora

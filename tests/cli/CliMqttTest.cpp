// zelmora-cli publishing to a real mosquitto broker that each test starts
// on 127.0.0.1 and stops: what a subscriber receives, read back with a
// JSON parser; a broker that goes away mid-run; TLS; a refused login; the
// retained statuses and the last will a late subscriber sees.

#include "CliFixture.h"
#include "cli/ExitCode.h"
#include "support/MqttBroker.h"

#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/stat.h>

namespace zelmora {
namespace {

using namespace std::chrono_literals;

constexpr const char* kTopic = "lab/bench3";

class CliMqttTest : public CliFixture {
protected:
    // Runs the command line on a thread of its own, so that the test's
    // thread can stop and start the broker meanwhile (the broker dies with
    // the thread that started it).
    std::future<Outcome> RunAside(std::vector<std::string> arguments) {
        return std::async(std::launch::async,
                          [this, arguments = std::move(arguments)] { return Run(arguments); });
    }

    // The records a subscriber received, by meter: each payload parsed as
    // the record format's JSON object, its meter the one its topic names.
    // Over-range records keep the count of the record before them and are
    // left out. False when a payload is no record.
    static bool RecordsByMeter(const std::vector<CTestSubscriber::Message>& messages,
                               std::map<std::string, std::vector<std::int64_t>>& counts) {
        static const std::vector<std::string> kFields = {"time_utc", "elapsed_s",    "meter",
                                                         "count",    "power_W",      "status",
                                                         "range",    "wavelength_nm"};
        const std::string prefix = std::string(kTopic) + "/";
        for (const auto& message : messages) {
            if (!message.topic.starts_with(prefix) ||
                message.topic.find('/', prefix.size()) != std::string::npos) {
                continue;
            }
            const std::string level = message.topic.substr(prefix.size());
            const auto record = nlohmann::json::parse(message.payload, nullptr, false);
            if (record.is_discarded() || !record.is_object() || record.size() != kFields.size()) {
                ADD_FAILURE() << "not a record: " << message.payload;
                return false;
            }
            std::vector<std::string> keys;
            for (const auto& [key, value] : record.items()) {
                keys.push_back(key);
            }
            std::sort(keys.begin(), keys.end());
            auto expected = kFields;
            std::sort(expected.begin(), expected.end());
            if (keys != expected || record["meter"] != level ||
                !record["time_utc"].get<std::string>().ends_with("Z") ||
                !record["count"].is_number_integer()) {
                ADD_FAILURE() << "not a record of " << level << ": " << message.payload;
                return false;
            }
            if (record["status"] != "over_range") {
                counts[level].push_back(record["count"].get<std::int64_t>());
            }
        }
        return true;
    }

    static std::size_t Distinct(const std::vector<std::int64_t>& counts) {
        return std::set<std::int64_t>(counts.begin(), counts.end()).size();
    }

    // The retained value of a topic, as a subscriber arriving now sees it.
    std::string RetainedNow(const CTestBroker& broker, const std::string& topic) {
        CTestSubscriber late(broker.Port(), {});
        if (!late.Subscribe(topic)) {
            return "(no subscription)";
        }
        late.WaitFor([](const auto& messages) { return !messages.empty(); }, 2s);
        return late.Last(topic);
    }

    std::string Ids(int meters) const {
        std::string ids;
        for (int i = 0; i < meters; ++i) {
            ids += Format(" %09d", 210400101 + i);
        }
        return ids;
    }
};

// Three meters, 300 samples each, published instead of written: every
// count of every meter arrives exactly once and in order.
TEST_F(CliMqttTest, ThreeMetersEveryCountOnceAndInOrder) {
    CTestBroker broker(m_folder / "broker");
    ASSERT_TRUE(broker.Start());
    CTestSubscriber subscriber(broker.Port(), {});
    ASSERT_TRUE(subscriber.Subscribe(std::string(kTopic) + "/+"));
    Plug(3);

    const Outcome outcome =
        Run({"log", "--count", "300", "--mqtt", broker.Url(), "--mqtt-topic", kTopic});
    EXPECT_EQ(outcome.exit, kExitOk) << outcome.err;
    EXPECT_EQ(outcome.out, "") << "no file was asked for";
    EXPECT_NE(outcome.err.find("900 records from 3 meters in "), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find(" s to " + broker.Url() + " (900 delivered, 0 dropped)"),
              std::string::npos)
        << outcome.err;

    // The run acknowledged every message; the broker has sent them on.
    ASSERT_TRUE(subscriber.WaitFor([&](const auto& messages) { return messages.size() >= 900; }));
    std::map<std::string, std::vector<std::int64_t>> counts;
    ASSERT_TRUE(RecordsByMeter(subscriber.Messages(), counts));
    ASSERT_EQ(counts.size(), 3u);
    std::vector<std::int64_t> expected(300);
    std::iota(expected.begin(), expected.end(), 0);
    for (const auto& [meter, seen] : counts) {
        EXPECT_EQ(seen, expected) << meter;
    }
}

// The broker stopped for 3 s in the middle of a run and started again:
// the file has every sample, and the subscriber, whose session the broker
// kept, has every sample too, or the count of records let go says exactly
// how many of each meter it lacks. QoS 1 may deliver a record twice after
// a reconnection, so records are counted once by their count.
TEST_F(CliMqttTest, ABrokerAwayForThreeSecondsCostsTheFileNothingAndTheQueueCountsItsLosses) {
    m_speedUp = 5; // 300 samples take 6 s
    m_errIsTerminal = true;
    Plug(3);
    for (const char* queue : {"100000", "100"}) {
        SCOPED_TRACE(std::string("--mqtt-queue ") + queue);
        CTestBroker broker(m_folder / (std::string("broker") + queue));
        ASSERT_TRUE(broker.Start());
        auto subscriber = std::make_unique<CTestSubscriber>(
            broker.Port(), CTestSubscriber::Options{.persistent = true,
                                                    .clientId = std::string("dashboard") + queue});
        ASSERT_TRUE(subscriber->Subscribe(std::string(kTopic) + "/#"));

        const std::string path = m_folder / (std::string("restart") + queue + ".csv");
        auto run = RunAside({"log", "--count", "300", "-o", path, "--mqtt", broker.Url(),
                             "--mqtt-topic", kTopic, "--mqtt-queue", queue});
        ASSERT_TRUE(WaitForRecords(path, 150));
        broker.Stop();
        std::this_thread::sleep_for(3s);
        ASSERT_TRUE(broker.Start()) << broker.Log();
        const Outcome outcome = run.get();

        EXPECT_EQ(outcome.exit, kExitOk) << outcome.err;
        EXPECT_TRUE(CheckedByPython("csv", path, 3, 300)) << "the file has every sample";
        // The retained counts are the broker's last word, so they come
        // last: wait for them to settle at the queue's total.
        const std::size_t at = outcome.err.find(" delivered, ");
        ASSERT_NE(at, std::string::npos) << outcome.err;
        const std::uint64_t dropped = std::stoull(outcome.err.substr(at + 12));
        std::uint64_t published = 0;
        ASSERT_TRUE(subscriber->WaitFor([&](const auto& messages) {
            published = 0;
            int statuses = 0;
            for (int i = 0; i < 3; ++i) {
                const std::string meter = std::string(kTopic) + Format("/%09d", 210400101 + i);
                std::string last;
                for (const auto& message : messages) {
                    if (message.topic == meter + "/dropped") {
                        last = message.payload;
                    }
                    statuses += message.topic == meter + "/status" && message.payload == "offline";
                }
                published += last.empty() ? 0 : std::stoull(last);
            }
            return statuses >= 3 && published == dropped;
        })) << "published "
            << published << " of " << dropped << "\n"
            << outcome.err;

        std::map<std::string, std::vector<std::int64_t>> counts;
        ASSERT_TRUE(RecordsByMeter(subscriber->Messages(), counts));
        std::size_t received = 0;
        for (const auto& [meter, seen] : counts) {
            received += Distinct(seen);
            EXPECT_LE(Distinct(seen), 300u) << meter;
        }
        EXPECT_EQ(received + dropped, 900u) << outcome.err;
        if (std::string(queue) == "100") {
            EXPECT_GT(dropped, 0u) << "3 s of records do not fit 100";
        } else {
            EXPECT_EQ(dropped, 0u) << "3 s of records fit the queue";
        }
        // The progress line told the operator while it happened, and the
        // last one the count of the records let go.
        EXPECT_NE(outcome.err.find(" lost  mqtt away, "), std::string::npos) << outcome.err;
        const std::size_t last = outcome.err.rfind("\r\x1b[K00:");
        ASSERT_NE(last, std::string::npos) << outcome.err;
        EXPECT_NE(outcome.err.find(Format(" lost  mqtt %llu dropped  ",
                                          static_cast<unsigned long long>(dropped)),
                                   last),
                  std::string::npos)
            << outcome.err;
        subscriber.reset();
    }
}

// A broker that hangs with the connection open: the run goes on at its
// pace, ends a few seconds after its last sample, and the summary tells how
// many records the broker never acknowledged, not that all went well, and
// so does the exit status, for a script.
TEST_F(CliMqttTest, AHungBrokerDoesNotHoldUpTheRunAndItsLossesAreTold) {
    CTestBroker broker(m_folder / "broker");
    ASSERT_TRUE(broker.Start());
    Plug(1);
    const std::string path = m_folder / "hung.csv";
    auto run = RunAside({"log", "--count", "100", "-o", path, "--mqtt", broker.Url()});
    ASSERT_TRUE(WaitForRecords(path, 20));
    broker.Freeze(true);
    const Outcome outcome = run.get();
    broker.Freeze(false);

    EXPECT_EQ(outcome.exit, kExitUndelivered) << outcome.err;
    EXPECT_TRUE(CheckedByPython("csv", path, 1, 100)) << "the file has every sample";
    const std::size_t at = outcome.err.find(" s to " + path + " and " + broker.Url() + " (");
    ASSERT_NE(at, std::string::npos) << outcome.err;
    const std::string counts = outcome.err.substr(outcome.err.find(" (", at) + 2);
    const std::uint64_t delivered = std::stoull(counts);
    const std::size_t rest = counts.find(" delivered, 0 dropped, ");
    ASSERT_NE(rest, std::string::npos) << outcome.err;
    const std::uint64_t undelivered = std::stoull(counts.substr(rest + 23));
    EXPECT_NE(counts.find(" not delivered: "), std::string::npos) << outcome.err;
    EXPECT_GT(undelivered, 0u) << outcome.err;
    EXPECT_EQ(delivered + undelivered, 100u) << outcome.err;
}

// TLS with a certificate authority made by the test: the broker's
// certificate is checked against --mqtt-cafile, and one that does not chain
// to the authority given is refused before any meter starts.
TEST_F(CliMqttTest, TlsWithTheBrokersAuthorityAndWithoutIt) {
    ASSERT_TRUE(MakeTestCertificates(m_folder.Path()));
    ASSERT_TRUE(MakeTestCertificates(std::filesystem::path(m_folder / "other"), "other") ||
                (std::filesystem::create_directories(std::filesystem::path(m_folder / "other")) &&
                 MakeTestCertificates(std::filesystem::path(m_folder / "other"), "other")));
    CTestBroker broker(m_folder / "broker",
                       {.certFile = m_folder / "server.crt", .keyFile = m_folder / "server.key"});
    ASSERT_TRUE(broker.Start());
    CTestSubscriber subscriber(broker.Port(), {.caFile = m_folder / "ca.crt", .host = "localhost"});
    ASSERT_TRUE(subscriber.Subscribe(std::string(kTopic) + "/+")) << broker.Log();
    Plug(2);

    const std::string url = broker.Url("localhost");
    const Outcome outcome = Run({"log", "--count", "20", "--mqtt", url, "--mqtt-topic", kTopic,
                                 "--mqtt-cafile", m_folder / "ca.crt"});
    EXPECT_EQ(outcome.exit, kExitOk) << outcome.err;
    ASSERT_TRUE(subscriber.WaitFor([&](const auto& messages) { return messages.size() >= 40; }));
    std::map<std::string, std::vector<std::int64_t>> counts;
    ASSERT_TRUE(RecordsByMeter(subscriber.Messages(), counts));
    EXPECT_EQ(counts.size(), 2u);

    const std::string path = m_folder / "refused.csv";
    for (const std::vector<std::string>& authority :
         {std::vector<std::string>{"--mqtt-cafile", m_folder / "other/other.crt"},
          std::vector<std::string>{}}) {
        std::vector<std::string> arguments = {"log", "-o", path, "--mqtt", url};
        arguments.insert(arguments.end(), authority.begin(), authority.end());
        const Outcome refused = Run(arguments);
        EXPECT_EQ(refused.exit, kExitBrokerFailed);
        EXPECT_NE(refused.err.find("cannot publish to " + url + ": TLS: "), std::string::npos)
            << refused.err;
        EXPECT_NE(refused.err.find("certificate verify failed"), std::string::npos) << refused.err;
    }
    EXPECT_FALSE(std::filesystem::exists(path)) << "the file is not touched";
}

// A wrong password or a broker that is not there: a clear message and the
// broker's exit status, before a file is emptied or a meter started. The
// password comes from the environment or from a file.
TEST_F(CliMqttTest, AWrongPasswordOrNoBrokerEndsTheRunBeforeItStarts) {
    CTestBroker broker(m_folder / "broker", {.users = {{"bench3", "s3cret pass"}}});
    ASSERT_TRUE(broker.Start());
    Plug(1);
    const std::string path = m_folder / "kept.csv";
    std::ofstream(path) << "an earlier run\n";

    m_environment["ZELMORA_MQTT_PASSWORD"] = "wrong";
    for (const std::vector<std::string>& login :
         {std::vector<std::string>{"--mqtt-user", "bench3"}, std::vector<std::string>{}}) {
        std::vector<std::string> arguments = {"log", "-o", path, "--mqtt", broker.Url()};
        arguments.insert(arguments.end(), login.begin(), login.end());
        const Outcome refused = Run(arguments);
        EXPECT_EQ(refused.exit, kExitBrokerFailed);
        EXPECT_EQ(refused.err, "zelmora-cli: cannot publish to " + broker.Url() +
                                   ": the broker refused the connection: not authorised\n");
    }
    const int nobody = FreeLoopbackPort();
    const Outcome away = Run({"log", "-o", path, "--mqtt", Format("mqtt://127.0.0.1:%d", nobody)});
    EXPECT_EQ(away.exit, kExitBrokerFailed);
    EXPECT_EQ(away.err, Format("zelmora-cli: cannot publish to mqtt://127.0.0.1:%d: Connection "
                               "refused\n",
                               nobody));
    EXPECT_EQ(ReadFile(path), "an earlier run\n") << "the file is not touched";
    EXPECT_EQ(m_meters[0]->GetCounters().starts, 0u) << "no meter was started";

    // The right password, from the environment and then from a file,
    // whose line end is not part of it.
    m_environment["ZELMORA_MQTT_PASSWORD"] = "s3cret pass";
    const Outcome fromEnvironment =
        Run({"log", "--count", "3", "--mqtt", broker.Url(), "--mqtt-user", "bench3", "--quiet"});
    EXPECT_EQ(fromEnvironment.exit, kExitOk) << fromEnvironment.err;
    m_environment.clear();
    std::ofstream(m_folder / "password") << "s3cret pass\r\n";
    const Outcome fromFile = Run({"log", "--count", "3", "--mqtt", broker.Url(), "--mqtt-user",
                                  "bench3", "--mqtt-password-file", m_folder / "password"});
    EXPECT_EQ(fromFile.exit, kExitOk) << fromFile.err;
    EXPECT_NE(fromFile.err.find("(3 delivered, 0 dropped)"), std::string::npos) << fromFile.err;
}

// What the operator should know about a password: a file that others may
// read is named (the run goes on), an empty file is refused before the
// broker is asked, a user without any password is told so, and the file
// wins over the environment.
TEST_F(CliMqttTest, APasswordFileOthersMayReadOrThatIsEmptyAndAUserWithoutAPassword) {
    CTestBroker broker(m_folder / "broker", {.users = {{"bench3", "s3cret pass"}}});
    ASSERT_TRUE(broker.Start());
    Plug(1);
    const std::string file = m_folder / "password";
    std::ofstream(file) << "s3cret pass\n";
    const std::vector<std::string> login = {
        "log",        "--count",     "3",      "--mqtt",
        broker.Url(), "--mqtt-user", "bench3", "--mqtt-password-file",
        file};

    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    m_environment["ZELMORA_MQTT_PASSWORD"] = "wrong";
    const Outcome readable = Run(login);
    EXPECT_EQ(readable.exit, kExitOk) << "the file wins: " << readable.err;
    EXPECT_TRUE(readable.err.starts_with("zelmora-cli: --mqtt-password-file " + file +
                                         " may be read by other users (mode 0644); chmod 600 "
                                         "it\n"))
        << readable.err;
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    const Outcome own = Run(login);
    EXPECT_EQ(own.exit, kExitOk) << own.err;
    EXPECT_EQ(own.err.find("other users"), std::string::npos) << own.err;

    for (const char* empty : {"", "\n", "\r\nsecond line\n"}) {
        std::ofstream(file, std::ios::trunc) << empty;
        const Outcome refused = Run(login);
        EXPECT_EQ(refused.exit, kExitUsage);
        EXPECT_NE(refused.err.find("--mqtt-password-file " + file +
                                   " is empty: its first line is the password\n"),
                  std::string::npos)
            << refused.err;
    }

    m_environment.clear();
    const Outcome none =
        Run({"log", "--count", "3", "--mqtt", broker.Url(), "--mqtt-user", "bench3"});
    EXPECT_EQ(none.exit, kExitBrokerFailed) << none.err;
    EXPECT_TRUE(none.err.starts_with("zelmora-cli: --mqtt-user bench3 has no password "
                                     "(ZELMORA_MQTT_PASSWORD is not set and no "
                                     "--mqtt-password-file is given): logging in without one\n"))
        << none.err;
}

// What a dashboard that subscribes late sees: the retained statuses of the
// program and of each meter while it runs, a lost meter, offline after an
// orderly end, and the last will when the program dies.
TEST_F(CliMqttTest, ALateSubscriberSeesTheStatusesAndTheLastWill) {
    CTestBroker broker(m_folder / "broker");
    ASSERT_TRUE(broker.Start());
    Plug(2);
    const std::string first = std::string(kTopic) + "/210400101";
    const std::string second = std::string(kTopic) + "/210400102";

    // One meter unplugged during the run: it ends lost, the other offline.
    const std::string path = m_folder / "statuses.csv";
    auto run = RunAside(
        {"log", "--count", "80", "-o", path, "--mqtt", broker.Url(), "--mqtt-topic", kTopic});
    ASSERT_TRUE(WaitForRecords(path, 10));
    EXPECT_EQ(RetainedNow(broker, kTopic), "online");
    EXPECT_EQ(RetainedNow(broker, first + "/status"), "online");
    EXPECT_EQ(RetainedNow(broker, second + "/dropped"), "0");
    m_virtual->Unplug(m_ids[0]);
    EXPECT_EQ(run.get().exit, kExitMeterLost);
    EXPECT_EQ(RetainedNow(broker, first + "/status"), "lost");
    EXPECT_EQ(RetainedNow(broker, second + "/status"), "offline");
    EXPECT_EQ(RetainedNow(broker, kTopic), "offline");

    // The program killed: the broker's last will says so, retained.
    const std::string topic = "lab/bench4";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(ZELMORA_CLI_PROGRAM, "zelmora-cli", "log", "--simulate=1", "--mqtt",
                broker.Url().c_str(), "--mqtt-topic", topic.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    CTestSubscriber watching(broker.Port(), {});
    ASSERT_TRUE(watching.Subscribe(topic + "/#"));
    EXPECT_TRUE(watching.WaitFor([&](const auto& messages) { return messages.size() > 5; }));
    EXPECT_EQ(watching.Last(topic), "online");
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(watching.WaitFor([&](const auto& messages) {
        return !messages.empty() && messages.back().topic == topic &&
               messages.back().payload == "lost";
    }));
    EXPECT_EQ(RetainedNow(broker, topic), "lost");
}

} // namespace
} // namespace zelmora

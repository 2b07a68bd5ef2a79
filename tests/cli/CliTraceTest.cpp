// Traces of the calls to the USB driver: a run recorded on a simulated
// meter, with and without the faults the simulation injects, played back
// gives the program the same records, messages and exit status; a replay
// that is asked something else, or a trace that is cut or edited, fails and
// says where. The traces in tests/traces/ are the first regression corpus:
// traces of faults kept so that their replay keeps running as it did.

#include "CliFixture.h"
#include "cli/ExitCode.h"
#include "usb/driver/ReplayUsbDriver.h"
#include "usb/driver/TracingUsbDriver.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

namespace zelmora {
namespace {

// What a run shows, without the times: the records' meter, count, power,
// status, range and wavelength, the markers of lost and returned meters,
// the messages (durations left out) and the exit status.
struct Behaviour {
    int exit = -1;
    std::vector<std::string> records;
    std::vector<std::string> messages;

    friend bool operator==(const Behaviour&, const Behaviour&) = default;
};

std::ostream& operator<<(std::ostream& out, const Behaviour& behaviour) {
    out << "exit " << behaviour.exit << "\n";
    for (const std::string& line : behaviour.records) {
        out << "  " << line << "\n";
    }
    for (const std::string& line : behaviour.messages) {
        out << "  ! " << line << "\n";
    }
    return out;
}

Behaviour BehaviourOf(int exit, const std::string& records, const std::string& messages) {
    Behaviour behaviour;
    behaviour.exit = exit;
    for (const std::string& line : Lines(records)) {
        if (line.starts_with("# meter_lost") || line.starts_with("# meter_back")) {
            behaviour.records.push_back(line.substr(0, line.find(' ', line.find(": ") + 2)));
        } else if (!line.starts_with("#") && !line.starts_with("time_utc")) {
            // Past the two time columns.
            const std::size_t first = line.find(',');
            behaviour.records.push_back(line.substr(line.find(',', first + 1) + 1));
        }
    }
    static const std::regex kDuration("[0-9.]+ s\\b");
    static const std::regex kRecords(" to [^ ;]*records\\.csv");
    for (const std::string& line : Lines(messages)) {
        behaviour.messages.push_back(
            std::regex_replace(std::regex_replace(line, kDuration, "N s"), kRecords, " to FILE"));
    }
    return behaviour;
}

class CliTraceTest : public CliFixture {
protected:
    // Runs the command line on the test's meters with every driver call
    // recorded into `trace`.
    Behaviour Record(const std::vector<std::string>& arguments, const std::string& trace) {
        m_wrapDriver = [trace](std::unique_ptr<UsbDriver> inner) -> std::unique_ptr<UsbDriver> {
            TracingUsbDriver::Settings settings;
            settings.path = trace;
            settings.header = {"zelmora-cli", "test", TracePlatform(), "simulated", TraceNow()};
            std::string error;
            auto tracing = TracingUsbDriver::Create(inner, settings, error);
            EXPECT_TRUE(tracing) << error;
            return tracing ? std::move(tracing) : std::move(inner);
        };
        return RunFor(arguments);
    }

    // Runs the command line on the meters of a trace instead.
    Behaviour Replay(const std::vector<std::string>& arguments, const std::string& trace,
                     ReplayUsbDriver::Pace pace = ReplayUsbDriver::Pace::AsAsked) {
        m_wrapDriver = [trace, pace](std::unique_ptr<UsbDriver>) -> std::unique_ptr<UsbDriver> {
            std::string error;
            return ReplayUsbDriver::Load(trace, pace, error);
        };
        return RunFor(arguments);
    }

    Behaviour RunFor(std::vector<std::string> arguments) {
        const std::string records = m_folder / "records.csv";
        std::filesystem::remove(records);
        arguments.insert(arguments.end(), {"-o", records});
        const Outcome outcome = Run(arguments);
        return BehaviourOf(outcome.exit, ReadFile(records), outcome.err);
    }

    static std::string Edited(const std::string& text, std::size_t lineIndex,
                              const std::string& from, const std::string& to) {
        std::vector<std::string> lines = Lines(text);
        const std::size_t at = lines.at(lineIndex).find(from);
        EXPECT_NE(at, std::string::npos) << lines.at(lineIndex);
        lines.at(lineIndex).replace(at, from.size(), to);
        std::string edited;
        for (const std::string& line : lines) {
            edited += line + "\n";
        }
        return edited;
    }

    static void Write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
};

struct FaultCase {
    const char* name;
    SimulatedMeter::MeterFaults faults;
    std::vector<std::string> arguments;
    // The fault goes away once the meter has been asked for this many
    // samples, so that a count-bound run ends.
    std::optional<std::uint64_t> clearAfterRequests;
};

std::string BehaviourText(const Behaviour& behaviour) {
    std::ostringstream text;
    text << behaviour;
    return text.str();
}

// Each fault recorded live, then played back from the fresh trace and from
// the one kept in tests/traces/: the same records, messages and exit status
// as when it was recorded (kept beside it, NAME.expected). Set
// ZELMORA_WRITE_TRACES=1 to write the corpus anew from the live runs
// (tests/traces/README says when).
TEST_F(CliTraceTest, FaultsReplayAsTheyHappenedLive) {
    const std::vector<FaultCase> cases = {
        {"plain", {}, {"log", "--count", "20"}, std::nullopt},
        {"unplugged-mid-run", {.removeAfterSamples = 5}, {"log", "--count", "20"}, std::nullopt},
        {"short-reply", {.sampleReplyLength = 2}, {"log", "--count", "5"}, 4},
        {"silent-meter", {.sampleNeverAnswers = true}, {"log", "--count", "5"}, 2},
        {"garbage-identity",
         {.identity1 = SimulatedMeter::ShortText{10, true}},
         {"log", "--count", "5"},
         std::nullopt},
        {"error-status", {.sampleErrorStatus = 0xC0000004}, {"log", "--count", "5"}, std::nullopt},
    };
    const bool regenerate = std::getenv("ZELMORA_WRITE_TRACES") != nullptr;
    for (const FaultCase& fault : cases) {
        SCOPED_TRACE(fault.name);
        // A meter of its own on a backend of its own: the same device path
        // and the same readings every time.
        m_virtual = std::make_shared<VirtualUsbDriver>();
        m_meters.clear();
        m_ids.clear();
        Plug(1);
        const std::shared_ptr<SimulatedMeter> meter = m_meters[0];
        meter->SetMeterFaults(fault.faults);
        std::thread clear([&] {
            if (!fault.clearAfterRequests) {
                return;
            }
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (meter->GetCounters().sampleRequests < *fault.clearAfterRequests &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            meter->SetMeterFaults({});
        });
        const std::string corpus = std::string(ZELMORA_TRACES_DIR) + "/" + fault.name;
        const std::string trace = regenerate ? corpus + ".jsonl" : m_folder / "live.jsonl";
        const Behaviour live = Record(fault.arguments, trace);
        clear.join();
        EXPECT_EQ(Replay(fault.arguments, trace), live);
        if (regenerate) {
            Write(corpus + ".expected", BehaviourText(live));
        }
        EXPECT_EQ(BehaviourText(Replay(fault.arguments, corpus + ".jsonl")),
                  ReadFile(corpus + ".expected"))
            << "the corpus no longer replays as it was recorded; if the program's requests "
               "changed on purpose, write it anew (tests/traces/README)";
    }
}

TEST_F(CliTraceTest, AReplayAskedSomethingElseFailsNamingTheLine) {
    Plug(1);
    const std::string trace = m_folder / "five.jsonl";
    ASSERT_EQ(Record({"log", "--count", "5"}, trace).exit, kExitOk);
    const std::string text = ReadFile(trace);
    const std::vector<std::string> lines = Lines(text);

    // Asked for more samples than were recorded: where the recorded run
    // stopped its meter, this one asks for another sample.
    std::size_t stop = lines.size() - 1;
    while (stop > 0 && lines[stop].find("\"requestType\":192,\"request\":241,\"value\":187") ==
                           std::string::npos) {
        --stop;
    }
    const Behaviour more = Replay({"log", "--count", "50"}, trace);
    EXPECT_NE(more.exit, kExitOk);
    ASSERT_FALSE(more.messages.empty());
    EXPECT_NE(more.messages.back().find(Format("replay: line %zu of the trace: the request's "
                                               "request is 0xF2 where the trace has 0xF1",
                                               stop + 1)),
              std::string::npos)
        << more;

    // A trace whose last call was lost: the program's close asks past it.
    ASSERT_NE(lines[lines.size() - 2].find("\"op\":\"close\""), std::string::npos);
    std::string withoutClose;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        withoutClose += i + 2 == lines.size() ? "" : lines[i] + "\n";
    }
    const std::string shorter = m_folder / "shorter.jsonl";
    Write(shorter, withoutClose);
    const Behaviour past = Replay({"log", "--count", "5"}, shorter);
    EXPECT_NE(past.exit, kExitOk);
    EXPECT_EQ(past.messages.back(),
              Format("zelmora-cli: replay: the program asks for a close, but the trace ends at "
                     "line %zu",
                     lines.size() - 1))
        << past;

    // The first sample request recorded with another request code: the
    // program's own request differs there.
    std::size_t submit = 0;
    while (submit < lines.size() && lines[submit].find("\"op\":\"submit\"") == std::string::npos) {
        ++submit;
    }
    ASSERT_LT(submit, lines.size());
    const std::size_t in = lines[submit].find("\"in\":\"") + 6;
    const std::string request = lines[submit].substr(in, 4);
    const std::string edited = m_folder / "edited.jsonl";
    Write(edited,
          Edited(text, submit, "\"in\":\"" + request, "\"in\":\"" + request.substr(0, 2) + "7e"));
    const Behaviour other = Replay({"log", "--count", "5"}, edited);
    EXPECT_NE(other.exit, kExitOk);
    const std::string expected = Format("line %zu of the trace: the request's request is 0x%X "
                                        "where the trace has 0x7E",
                                        submit + 1, std::stoi(request.substr(2), nullptr, 16));
    EXPECT_TRUE(std::any_of(
        other.messages.begin(), other.messages.end(),
        [&](const std::string& line) { return line.find(expected) != std::string::npos; }))
        << expected << "\n"
        << other;
}

TEST_F(CliTraceTest, ACutEditedOrNewerTraceFailsNamingTheLine) {
    Plug(1);
    const std::string trace = m_folder / "five.jsonl";
    ASSERT_EQ(Record({"log", "--count", "5"}, trace).exit, kExitOk);
    const std::string text = ReadFile(trace);
    const std::vector<std::string> lines = Lines(text);
    ASSERT_GT(lines.size(), 10u);

    std::size_t cutAt = 0;
    for (std::size_t i = 0; i < 7; ++i) {
        cutAt = text.find('\n', cutAt) + 1;
    }
    const struct {
        const char* name;
        std::string text;
        std::string message;
    } refused[] = {
        {"cut in a line", text.substr(0, cutAt + 20), "line 8 is cut short: it has no line end"},
        // Taken, as a crashed program leaves it, and played up to its end.
        {"cut between lines", text.substr(0, cutAt),
         "but the trace ends at line 7 (it has no end line: the program that wrote it stopped "
         "without closing it)"},
        {"newer format", Edited(text, 0, "\"version\":1", "\"version\":2"),
         "line 1: the trace has format version 2; this program reads version 1"},
        {"not hex", Edited(text, 4, "\"in\":\"", "\"in\":\"zz"), "line 5: 'in' is not hex bytes"},
        {"not a trace", "{\"format\":\"other\"}\n", "line 1: this is not a trace"},
        {"not JSON", Edited(text, 3, "{", "["), "line 4 is not a JSON object"},
    };
    for (const auto& trial : refused) {
        SCOPED_TRACE(trial.name);
        const std::string path = m_folder / "refused.jsonl";
        Write(path, trial.text);
        const Behaviour replay = Replay({"log", "--count", "5"}, path);
        EXPECT_NE(replay.exit, kExitOk);
        EXPECT_TRUE(std::any_of(
            replay.messages.begin(), replay.messages.end(),
            [&](const std::string& line) { return line.find(trial.message) != std::string::npos; }))
            << trial.message << "\n"
            << replay;
        EXPECT_TRUE(replay.records.empty());
    }
}

// The program itself, from its own options: a run of a simulated meter
// recorded, then played back, gives the same records.
TEST_F(CliTraceTest, TheProgramRecordsAndReplaysARun) {
    const std::string trace = m_folder / "t.jsonl";
    const std::string a = m_folder / "a.csv";
    const std::string b = m_folder / "b.csv";
    const std::string err = m_folder / "err";
    // A sharing scope of this process's own: the program lists the meters
    // that other programs share, and tests elsewhere on the machine may.
    const std::string program =
        Format("ZELMORA_SHARE_SCOPE=trace-test-%ld ", static_cast<long>(::getpid())) +
        ZELMORA_CLI_PROGRAM;
    ASSERT_EQ(std::system((program + " log --simulate=1 --count 50 --trace " + trace + " -o " + a +
                           " 2>" + err)
                              .c_str()),
              0)
        << ReadFile(err);
    const std::vector<std::string> lines = Lines(ReadFile(trace));
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.front().starts_with(
        "{\"format\":\"zelmora-trace\",\"version\":1,\"program\":\"zelmora-cli\","))
        << lines.front();
    EXPECT_NE(lines.front().find("\"backend\":\"simulated\""), std::string::npos);
    EXPECT_TRUE(lines.back().starts_with("{\"t\":")) << lines.back();
    EXPECT_NE(lines.back().find("\"op\":\"end\",\"reason\":\"closed\",\"dropped\":0"),
              std::string::npos)
        << lines.back();
    ASSERT_EQ(
        std::system(
            (program + " log --replay " + trace + " --count 50 -o " + b + " 2>" + err).c_str()),
        0)
        << ReadFile(err);
    const Behaviour recorded = BehaviourOf(0, ReadFile(a), "");
    EXPECT_EQ(recorded.records.size(), 50u);
    EXPECT_EQ(BehaviourOf(0, ReadFile(b), ""), recorded);

    // Asked for more than it holds, the program fails and says where.
    const int status = std::system(
        (program + " log --replay " + trace + " --count 60 -o " + b + " 2>" + err).c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << status;
    EXPECT_NE(ReadFile(err).find("replay: line "), std::string::npos) << ReadFile(err);
}

// A trace converted to a packet capture: the file is whole, the command
// says how many packets it holds; what keeps it from being made is said.
TEST_F(CliTraceTest, TraceToPcapWritesACaptureOrSaysWhyNot) {
    const std::string capture = m_folder / "plain.pcap";
    const Outcome done =
        Run({"trace-to-pcap", std::string(ZELMORA_TRACES_DIR) + "/plain.jsonl", "-o", capture});
    ASSERT_EQ(done.exit, kExitOk) << done.err;
    const std::string bytes = ReadFile(capture);
    ASSERT_GE(bytes.size(), 24u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\xd4\xc3\xb2\xa1", 4));
    EXPECT_EQ(static_cast<unsigned char>(bytes[20]), 220u);
    EXPECT_TRUE(std::regex_search(done.err, std::regex("wrote [1-9][0-9]* USB packets to ")))
        << done.err;

    const Outcome noOutput =
        Run({"trace-to-pcap", std::string(ZELMORA_TRACES_DIR) + "/plain.jsonl"});
    EXPECT_EQ(noOutput.exit, kExitUsage);
    EXPECT_NE(noOutput.err.find("trace-to-pcap needs --output FILE"), std::string::npos)
        << noOutput.err;

    const std::string notATrace = m_folder / "not-a-trace.jsonl";
    Write(notATrace, "{\"format\":\"something else\"}\n");
    const Outcome refused = Run({"trace-to-pcap", notATrace, "-o", m_folder / "no.pcap"});
    EXPECT_EQ(refused.exit, kExitFailure);
    EXPECT_NE(refused.err.find("cannot read the trace " + notATrace + ": "), std::string::npos)
        << refused.err;
    EXPECT_FALSE(std::filesystem::exists(m_folder / "no.pcap"));
}

} // namespace
} // namespace zelmora

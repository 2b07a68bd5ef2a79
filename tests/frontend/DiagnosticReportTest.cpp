// The diagnostic report: no home folder in it, the trace's last minutes
// picked from a file that is still being written, and its sections.

#include "frontend/DiagnosticReport.h"

#include "support/ListedUsbDevices.h"
#include "support/TempFolder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace zelmora {
namespace {

using test::TempFolder;

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

[[maybe_unused]] int CountOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST(DiagnosticReportTest, TheHomeFolderIsWrittenAsATilde) {
    EXPECT_EQ(HideHomeFolder("/home/al/x.jsonl and /home/al", "/home/al"), "~/x.jsonl and ~");
    EXPECT_EQ(HideHomeFolder("/home/al/x", "/home/al/"), "~/x");
    // Another user's folder that starts with the same letters stays.
    EXPECT_EQ(HideHomeFolder("/home/alice/x /home/al.d /home/al:", "/home/al"),
              "/home/alice/x /home/al.d ~:");
    // Windows paths, as they are, with forward slashes and as JSON has them.
    EXPECT_EQ(HideHomeFolder(R"(C:\Users\al\t.jsonl C:/Users/al/t {"f":"C:\\Users\\al\\t"})",
                             R"(C:\Users\al)"),
              R"(~\t.jsonl ~/t {"f":"~\\t"})");
    // A home folder of the root or a drive holds everything: nothing is
    // replaced rather than every slash.
    EXPECT_EQ(HideHomeFolder("/etc/zelmora", "/"), "/etc/zelmora");
    EXPECT_EQ(HideHomeFolder("C:\\x", "C:\\"), "C:\\x");
    EXPECT_EQ(HideHomeFolder("/etc/zelmora", ""), "/etc/zelmora");
}

TEST(DiagnosticReportTest, TheTimeOfATraceLine) {
    EXPECT_EQ(TraceLineTime(R"({"t":12.5,"op":"ioctl"})"), 12.5);
    EXPECT_EQ(TraceLineTime(R"(  { "op":"x", "t" : 3 })"), 3.0);
    // Only the object's own "t" counts, not one in a member or a value.
    EXPECT_EQ(TraceLineTime(R"({"data":{"t":1},"x":"t","t":7})"), 7.0);
    EXPECT_EQ(TraceLineTime(R"({"s":"a\"t\":5","t":2})"), 2.0);
    EXPECT_EQ(TraceLineTime(R"({"data":{"t":1}})"), std::nullopt);
    EXPECT_EQ(TraceLineTime(R"({"t":"soon"})"), std::nullopt);
    EXPECT_EQ(TraceLineTime(R"({"t":12.)"), 12.0); // half-written, yet its time is read
    EXPECT_EQ(TraceLineTime(R"({"t)"), std::nullopt);
    EXPECT_EQ(TraceLineTime("garbage"), std::nullopt);
    EXPECT_EQ(TraceLineTime(""), std::nullopt);
}

TEST(DiagnosticReportTest, TheTraceTailIsTheHeaderAndTheLastMinutes) {
    TempFolder folder;
    const std::string path = folder.Path("t.jsonl");
    std::string trace = R"({"format":"zelmora-trace","version":1})"
                        "\n";
    for (int t = 0; t <= 1000; t += 100) {
        trace += "{\"t\":" + std::to_string(t) + ",\"n\":" + std::to_string(t / 100) + "}\n";
    }
    trace += "not json\n";
    trace += R"({"t":1001,"n":)"; // still being written
    WriteText(path, trace);

    const std::string tail = TraceTail(path);
    EXPECT_EQ(tail.find(R"({"format":"zelmora-trace","version":1})"
                        "\n"),
              0u)
        << tail;
    // The last complete line is at 1000 s: 700 s on are in, 600 s is not.
    for (int t = 700; t <= 1000; t += 100) {
        EXPECT_NE(tail.find("{\"t\":" + std::to_string(t) + ","), std::string::npos) << t;
    }
    EXPECT_EQ(tail.find("{\"t\":600,"), std::string::npos);
    EXPECT_EQ(tail.find("{\"t\":0,"), std::string::npos);
    EXPECT_EQ(tail.find("1001"), std::string::npos) << tail;
    EXPECT_NE(tail.find("# the last line was still being written"), std::string::npos);
    EXPECT_NE(tail.find("# 1 line without a time"), std::string::npos);
    EXPECT_NE(tail.find("4 lines"), std::string::npos) << tail;
}

TEST(DiagnosticReportTest, ACutTraceSaysItsLastMinutesAreThoseBeforeTheCut) {
    TempFolder folder;
    const std::string cutPath = folder.Path("cut.jsonl");
    const std::string closedPath = folder.Path("closed.jsonl");
    const std::string start = "{\"h\":1}\n{\"t\":1,\"op\":\"list\"}\n";
    WriteText(cutPath, start + R"({"t":2,"op":"end","reason":"cut","why":"cap","dropped":0})"
                               "\n");
    WriteText(closedPath, start + R"({"t":2,"op":"end","reason":"closed","dropped":0})"
                                  "\n");
    EXPECT_NE(TraceTail(cutPath).find("# the trace was cut at its size cap"), std::string::npos);
    EXPECT_EQ(TraceTail(closedPath).find("cut"), std::string::npos);
}

TEST(DiagnosticReportTest, AHugeTraceIsReadFromItsEndOnly) {
    TempFolder folder;
    const std::string path = folder.Path("t.jsonl");
    std::string trace = "{\"header\":1}\n";
    // 20000 lines in one second: all are in the last minutes.
    for (int i = 0; i < 20000; ++i) {
        trace += "{\"t\":" + std::to_string(i / 20000.0) + ",\"pad\":\"" + std::string(40, 'x') +
                 "\"}\n";
    }
    WriteText(path, trace);

    const std::size_t limit = 64 * 1024;
    const std::string tail = TraceTail(path, kReportTraceSeconds, limit);
    EXPECT_LT(tail.size(), limit + 1024);
    EXPECT_EQ(tail.find("{\"header\":1}\n"), 0u);
    EXPECT_NE(tail.find("# earlier lines of these minutes may be left out"), std::string::npos);
    // Every line kept is whole: the read starts inside a line and skips it.
    std::size_t start = 0;
    for (std::size_t end; (end = tail.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = tail.substr(start, end - start);
        EXPECT_TRUE(line.starts_with("{\"header\"") || line.starts_with("# ") ||
                    (line.starts_with("{\"t\":") && line.ends_with("\"}")))
            << line;
    }
    EXPECT_NE(tail.find(std::to_string(19999 / 20000.0)), std::string::npos);
}

TEST(DiagnosticReportTest, ATraceWithoutACompleteLineOrFile) {
    TempFolder folder;
    WriteText(folder.Path("half"), R"({"format":"zel)");
    WriteText(folder.Path("empty"), "");
    WriteText(folder.Path("header"), "{\"h\":1}\n{\"t\":");
    EXPECT_EQ(TraceTail(folder.Path("half")), "# the trace file holds no complete line yet\n");
    EXPECT_EQ(TraceTail(folder.Path("empty")), "# the trace file is empty\n");
    EXPECT_EQ(TraceTail(folder.Path("missing")), "# the trace file cannot be read\n");
    EXPECT_EQ(TraceTail(folder.Path("header")),
              "{\"h\":1}\n# the trace holds no request yet\n"
              "# the last line was still being written and is left out\n");
}

#if !defined(_WIN32)
// HOME (and XDG_CONFIG_HOME, unset) for one test.
class HomeFolderFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* saved = std::getenv("HOME")) {
            m_home = saved;
        }
        if (const char* config = std::getenv("XDG_CONFIG_HOME")) {
            m_config = config;
        }
        ::setenv("HOME", home.Path().c_str(), 1);
        ::unsetenv("XDG_CONFIG_HOME");
    }
    void TearDown() override {
        m_home ? ::setenv("HOME", m_home->c_str(), 1) : ::unsetenv("HOME");
        if (m_config) {
            ::setenv("XDG_CONFIG_HOME", m_config->c_str(), 1);
        }
    }

    TempFolder home;

private:
    std::optional<std::string> m_home;
    std::optional<std::string> m_config;
};

using DiagnosticReportHomeTest = HomeFolderFixture;

TEST_F(DiagnosticReportHomeTest, TheReportNamesNoPathInTheHomeFolder) {
    std::filesystem::create_directories(home.Path(".config/zelmora"));
    WriteText(home.Path(".config/zelmora/meters.conf"), "# mine\n1234:5678\n");
    const std::string trace = home.Path("trace.jsonl");
    WriteText(trace, "{\"program\":\"zelmora\",\"cwd\":\"" + home.Path() + "\"}\n" +
                         "{\"t\":0.5,\"op\":\"open\"}\n");

    test::ListedUsbDevices finder;
    finder.devices.push_back({.id = {0x1234, 0x5678},
                              .manufacturer = "Acme",
                              .product = "Meter",
                              .bus = 1,
                              .ports = "3",
                              .address = 4,
                              .listed = true,
                              .access = DeviceAccess::Opened});
    DiagnosticReportRequest request;
    request.program = "zelmora";
    request.version = "9.8.7";
    request.options.usbIds = {"abcd:0001"};
    request.options.traceFile = trace;
    request.finder = &finder;
    request.settingsTitle = "Window settings";
    request.settings = {{"log file", home.Path("Desktop/zelmora.csv")}, {"averaging", "4"}};

    const std::string report = BuildDiagnosticReport(request);
    EXPECT_EQ(report.find(home.Path()), std::string::npos) << report;
    EXPECT_TRUE(report.starts_with("Zelmora diagnostic report\n"));
    EXPECT_NE(report.find("Nothing else\nfrom this computer is in it"), std::string::npos);
    EXPECT_NE(report.find("version: 9.8.7\n"), std::string::npos);
    EXPECT_NE(report.find("1234:5678  from ~/.config/zelmora/meters.conf\n"), std::string::npos)
        << report;
    EXPECT_NE(report.find("abcd:0001  from --usb-id\n"), std::string::npos);
    EXPECT_NE(report.find("\n" + DescribeUsbDevice(finder.devices[0]) + "\n"), std::string::npos);
    EXPECT_NE(report.find("log file: ~/Desktop/zelmora.csv\n"), std::string::npos);
    EXPECT_NE(report.find("averaging: 4\n"), std::string::npos);
    EXPECT_NE(report.find("--trace: ~/trace.jsonl\n"), std::string::npos);
    EXPECT_NE(report.find("file: ~/trace.jsonl\n"), std::string::npos);
    EXPECT_NE(report.find("\n{\"program\":\"zelmora\",\"cwd\":\"~\"}\n"), std::string::npos);
    EXPECT_NE(report.find("\n{\"t\":0.5,\"op\":\"open\"}\n"), std::string::npos);
    for (const char* section : {"\nProgram\n", "\nOperating system\n", "\nUSB library\n",
                                "\nUSB devices", "\nMatch list in use\n", "\nCommand line\n",
                                "\nWindow settings\n", "\nTrace (the last 5 minutes)\n"}) {
        EXPECT_EQ(CountOf(report, section), 1) << section;
    }
}

TEST_F(DiagnosticReportHomeTest, WithoutATraceTheReportSaysSo) {
    test::ListedUsbDevices finder;
    DiagnosticReportRequest request;
    request.program = "zelmora-cli";
    request.finder = &finder;
    const std::string report = BuildDiagnosticReport(request);
    EXPECT_NE(report.find("No trace: the program was started without --trace FILE.\n"),
              std::string::npos);
    EXPECT_NE(report.find("--trace: off\n"), std::string::npos);
    EXPECT_NE(report.find("No USB device was found.\n"), std::string::npos);
    EXPECT_EQ(report.find("Window settings"), std::string::npos);
}

#endif // the home folder is HOME

} // namespace
} // namespace zelmora

// The Windows program itself, driven from outside through window messages
// as an operator's clicks and keys would reach it, on a virtual X server
// under Wine:
//
//   zelmora_window_check --program=<zelmora.exe>   the checks (GoogleTest)
//   zelmora_window_check --gtest_filter=WindowCheck.StartsFromItsShortcut
//       --shortcut=<file.lnk> --install-folder=<folder>
//       starts the program as its Start-menu entry says, once installed
//       (tests/win32/installer-check.sh)
//   zelmora_window_check --program=<zelmora.exe> --shot=<seconds>
//       --rect-file=<file> --done-file=<file> [--bench]
//       starts three simulated meters streaming, writes the window's (with
//       --bench: the bench view's)
//       rectangle on the screen into the rect file after the given seconds
//       and closes the program once the done file exists (the README's
//       picture is taken in between: scripts/screenshot.sh).
//
// Every wait is bounded; a program that hangs fails the check instead of
// holding it.

// Winsock's header goes before windows.h, which would bring in the old one.
#include <winsock2.h>
// Then windows.h.
#include <windows.h>
// The other platform headers need windows.h before them.
#include <chrono>
#include <commctrl.h>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <objbase.h>
#include <optional>
#include <shlobj.h>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

std::wstring g_program;
std::wstring g_shortcut;
std::wstring g_installFolder;
std::wstring g_cli;

constexpr const wchar_t* kCaption = L"OrvantaPower Meter V2.4.9.30";
constexpr int kWaitMs = 20000;

// A Unix path as Wine's Z: drive shows it; other paths as they are.
std::wstring WindowsPath(const std::string& path) {
    std::wstring wide(path.begin(), path.end());
    if (!wide.empty() && wide[0] == L'/') {
        for (wchar_t& c : wide) {
            c = c == L'/' ? L'\\' : c;
        }
        wide = L"Z:" + wide;
    }
    return wide;
}

std::string Narrow(const std::wstring& text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), narrow.data(),
                        length, nullptr, nullptr);
    return narrow;
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = kWaitMs) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::wstring TextOf(HWND window) {
    DWORD_PTR length = 0;
    if (window == nullptr ||
        !SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) {
        return L"<none>";
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, 5000, &copied);
    text.resize(copied);
    return text;
}

// The program under test, ended when the check ends however it ends.
class Program {
public:
    // `out` and `err`, when given, are the files the program's standard
    // output and error go to.
    Program(const std::wstring& arguments, const std::wstring& folder,
            const std::wstring& program = g_program, const std::wstring& out = {},
            const std::wstring& err = {}) {
        std::wstring commandLine = L"\"" + program + L"\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        std::vector<HANDLE> files;
        if (!out.empty()) {
            SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
            for (const std::wstring* path : {&out, &err}) {
                files.push_back(CreateFileW(path->c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            }
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
            startup.hStdOutput = files[0];
            startup.hStdError = files[1];
        }
        m_started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr,
                                   files.empty() ? FALSE : TRUE, 0, nullptr, folder.c_str(),
                                   &startup, &m_info) != FALSE;
        for (HANDLE file : files) {
            if (file != INVALID_HANDLE_VALUE) {
                CloseHandle(file);
            }
        }
    }
    ~Program() {
        if (m_started) {
            if (WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(m_info.hProcess, 99);
                WaitForSingleObject(m_info.hProcess, 5000);
            }
            CloseHandle(m_info.hThread);
            CloseHandle(m_info.hProcess);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool Started() const { return m_started; }
    DWORD Id() const { return m_info.dwProcessId; }
    // The exit code once the program ended within the time-out.
    std::optional<DWORD> WaitForExit(int timeoutMs) const {
        if (WaitForSingleObject(m_info.hProcess, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
            return std::nullopt;
        }
        DWORD code = 0;
        GetExitCodeProcess(m_info.hProcess, &code);
        return code;
    }

    // A visible top-level window of the program with this caption.
    HWND FindWindow(const std::wstring& caption) const {
        WindowSearch search{m_info.dwProcessId, &caption, nullptr};
        EnumWindows(NoteWindow, reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    HWND WaitForWindow(const std::wstring& caption) const {
        HWND window = nullptr;
        WaitFor([&] { return (window = FindWindow(caption)) != nullptr; }, 60000);
        return window;
    }

private:
    struct WindowSearch {
        DWORD process;
        const std::wstring* caption;
        HWND found;
    };
    static BOOL CALLBACK NoteWindow(HWND window, LPARAM data) {
        auto* search = reinterpret_cast<WindowSearch*>(data);
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == search->process && IsWindowVisible(window) &&
            TextOf(window) == *search->caption) {
            search->found = window;
            return FALSE;
        }
        return TRUE;
    }

    PROCESS_INFORMATION m_info{};
    bool m_started = false;
};

std::wstring Text(HWND dialog, int id) {
    return TextOf(GetDlgItem(dialog, id));
}

// A click on a button, as the mouse makes it.
void Click(HWND dialog, int id) {
    SendMessageTimeoutW(GetDlgItem(dialog, id), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, nullptr);
}

// Replaces a box's text by typing it.
void Type(HWND dialog, int id, const std::wstring& text) {
    HWND box = GetDlgItem(dialog, id);
    SendMessageTimeoutW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""), SMTO_ABORTIFHUNG, 5000,
                        nullptr);
    for (const wchar_t c : text) {
        SendMessageTimeoutW(box, WM_CHAR, c, 1, SMTO_ABORTIFHUNG, 5000, nullptr);
    }
}

BOOL CALLBACK NoteText(HWND child, LPARAM data) {
    auto* search = reinterpret_cast<std::pair<const wchar_t*, bool>*>(data);
    if (TextOf(child) == search->first) {
        search->second = true;
    }
    return TRUE;
}

// Whether a control of the window shows this text.
bool HasChildText(HWND window, const wchar_t* text) {
    std::pair<const wchar_t*, bool> search{text, false};
    EnumChildWindows(window, NoteText, reinterpret_cast<LPARAM>(&search));
    return search.second;
}

int Count(HWND dialog) {
    return _wtoi(Text(dialog, 1008).c_str());
}

// A folder of its own in the temporary folder, removed with what it holds.
class Folder {
public:
    Folder() {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        m_path = std::wstring(temp) + L"zelmora-check-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~Folder() {
        WIN32_FIND_DATAW found{};
        HANDLE search = FindFirstFileW((m_path + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                DeleteFileW((m_path + L"\\" + found.cFileName).c_str());
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(m_path.c_str());
    }
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
};

std::vector<std::string> ReadLines(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), {}};
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(bytes.substr(start, end - start));
    }
    return lines;
}

// The controls' ids, as the program's templates number them.
enum : int {
    kPower = 1000,
    kCount = 1008,
    kLogOnOff = 1017,
    kLogPath = 1019,
    kStartStop = 1020,
    kMeterList = 1028,
    kAutoscale = 1029,
    kRescan = 1037,
    kRunNote = 1062,
    kTotalTime = 1015,
    kGraphTitle = 1057,
    kToolBar = 0xE800,
    kSetPowerRegion = 32771,
    kAbout = 0x0010,
    kSaveReport = 32782,
};

TEST(WindowCheck, StartsMeasuresLogsAndCloses) {
    Folder folder;
    Program program(L"--simulate", folder.Path());
    ASSERT_TRUE(program.Started());
    HWND window = program.WaitForWindow(kCaption);
    ASSERT_NE(window, nullptr) << "no main window";

    // As it opens.
    EXPECT_EQ(Text(window, kStartStop), L"Start");
    EXPECT_EQ(Text(window, kPower), L"0.0W");
    EXPECT_EQ(Text(window, kMeterList), L"210400101");
    EXPECT_EQ(Text(window, kTotalTime), L"00:03:20(000)");
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(window, kTotalTime)));

    // Start: samples arrive in the read-out.
    Click(window, kStartStop);
    EXPECT_EQ(Text(window, kStartStop), L"Stop");
    EXPECT_EQ(Text(window, kGraphTitle), L"Graphic(W)");
    ASSERT_TRUE(WaitFor([&] { return Count(window) >= 3; })) << Narrow(Text(window, kCount));
    const std::wstring power = Text(window, kPower);
    EXPECT_TRUE(power.size() > 1 && power.back() == L'W' && power != L"0.0W") << Narrow(power);

    // Logging into a file typed into the path box.
    const std::wstring path = folder.Path() + L"\\check.csv";
    Type(window, kLogPath, path);
    Click(window, kLogOnOff);
    EXPECT_EQ(Text(window, kLogOnOff), L"Off");
    const int first = Count(window);
    ASSERT_TRUE(WaitFor([&] { return Count(window) >= first + 10; }));
    Click(window, kLogOnOff);
    EXPECT_EQ(Text(window, kLogOnOff), L"On");
    EXPECT_EQ(Text(window, kLogPath), folder.Path() + L"\\check_1.csv");

    const std::vector<std::string> lines = ReadLines(path);
    ASSERT_GE(lines.size(), 12u);
    EXPECT_EQ(lines[0], "210400101");
    EXPECT_NE(lines[1].find(", 20"), std::string::npos) << lines[1];
    long next = -1;
    for (std::size_t i = 2; i < lines.size(); ++i) {
        const std::size_t comma = lines[i].find(',');
        ASSERT_NE(comma, std::string::npos) << lines[i];
        const long count = std::atol(lines[i].substr(0, comma).c_str());
        if (next >= 0) {
            EXPECT_EQ(count, next) << "each sample once, in order";
        }
        next = count + 1;
        const std::string value = lines[i].substr(comma + 1);
        EXPECT_EQ(value.size() - value.find('.'), 7u) << lines[i];
    }

    // The close box ends the program normally.
    PostMessageW(window, WM_CLOSE, 0, 0);
    const std::optional<DWORD> exitCode = program.WaitForExit(kWaitMs);
    ASSERT_TRUE(exitCode.has_value()) << "the program did not end";
    EXPECT_EQ(*exitCode, 0u);
}

std::string ReadAll(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

// The counts of the records zelmora-cli wrote as CSV.
std::vector<long> RecordCounts(const std::wstring& path) {
    std::vector<long> counts;
    const std::string text = ReadAll(path);
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (line.rfind("20", 0) == 0) {
            // time, elapsed, meter, count, ...
            std::size_t field = 0;
            for (int comma = 0; comma < 3 && field != std::string::npos; ++comma) {
                field = line.find(',', field + 1);
            }
            counts.push_back(field == std::string::npos ? -1 : std::atol(&line[field + 1]));
        }
    }
    return counts;
}

// The window owns the meter it starts; zelmora-cli, started beside it,
// watches the window's samples, and when the window is closed takes the
// meter over and goes on, the gap marked.
TEST(WindowCheck, SharesItsMeterAndHandsItOverWhenClosed) {
    if (g_cli.empty()) {
        GTEST_SKIP() << "no --cli=<zelmora-cli.exe>";
    }
    Folder folder;
    Program program(L"--simulate", folder.Path());
    ASSERT_TRUE(program.Started());
    HWND window = program.WaitForWindow(kCaption);
    ASSERT_NE(window, nullptr) << "no main window";
    Click(window, kStartStop);
    ASSERT_TRUE(WaitFor([&] { return Count(window) >= 3; })) << Narrow(Text(window, kCount));

    const std::wstring out = folder.Path() + L"\\cli.csv";
    const std::wstring err = folder.Path() + L"\\cli.err";
    Program cli(L"log --simulate=1 210400101 --count 40 -o -", folder.Path(), g_cli, out, err);
    ASSERT_TRUE(cli.Started());
    ASSERT_TRUE(WaitFor([&] { return RecordCounts(out).size() >= 10; }, 60000)) << ReadAll(err);
    PostMessageW(window, WM_CLOSE, 0, 0);
    const std::optional<DWORD> closed = program.WaitForExit(kWaitMs);
    ASSERT_TRUE(closed.has_value()) << "the program did not end";
    EXPECT_EQ(*closed, 0u);

    const std::optional<DWORD> ended = cli.WaitForExit(60000);
    ASSERT_TRUE(ended.has_value()) << "zelmora-cli did not end";
    EXPECT_EQ(*ended, 0u) << ReadAll(err);
    const std::vector<long> counts = RecordCounts(out);
    ASSERT_EQ(counts.size(), 40u) << ReadAll(err);
    for (std::size_t i = 0; i < counts.size(); ++i) {
        EXPECT_EQ(counts[i], static_cast<long>(i));
    }
    const std::string text = ReadAll(out);
    const auto lost = text.find("# meter_lost: 210400101");
    const auto back = text.find("# meter_back: 210400101");
    ASSERT_NE(lost, std::string::npos) << text;
    ASSERT_NE(back, std::string::npos) << text;
    EXPECT_LT(lost, back);
}

// One meter per log file: Start on another meter closes the file of the
// one before and logs on to the next numbered name, with a warning that
// names both. While a meter runs the list cannot change; a Rescan that
// closes it brings back "Start" and says why under the graph.
TEST(WindowCheck, KeepsMetersApartAndSaysWhyNothingRuns) {
    Folder folder;
    Program program(L"--simulate=2", folder.Path());
    ASSERT_TRUE(program.Started());
    HWND window = program.WaitForWindow(kCaption);
    ASSERT_NE(window, nullptr) << "no main window";
    HWND list = GetDlgItem(window, kMeterList);

    const std::wstring path = folder.Path() + L"\\meters.csv";
    Type(window, kLogPath, path);
    Click(window, kLogOnOff);
    Click(window, kStartStop);
    EXPECT_FALSE(IsWindowEnabled(list));
    ASSERT_TRUE(WaitFor([&] { return Count(window) >= 3; }));
    Click(window, kStartStop);
    EXPECT_TRUE(IsWindowEnabled(list));
    // The count box goes on showing this count until the next meter's
    // collection (counted from 0) outgrows it.
    const int firstCount = Count(window);

    SendMessageTimeoutW(list, CB_SETCURSEL, 1, 0, SMTO_ABORTIFHUNG, 5000, nullptr);
    const std::wstring second = Text(window, kMeterList);
    Click(window, kStartStop);
    HWND warning = program.WaitForWindow(L"Log Data To File");
    ASSERT_NE(warning, nullptr) << "no word of the file that was closed";
    EXPECT_TRUE(
        HasChildText(warning, (L"The log file of 210400101 was closed with every record "
                               L"in it:\n" +
                               path + L"\n\nMeter " + second + L" is logged to a new file:\n" +
                               folder.Path() + L"\\meters_1.csv")
                                  .c_str()));
    PostMessageW(warning, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(warning); }));
    ASSERT_TRUE(WaitFor([&] { return Count(window) >= firstCount + 2; }));

    Click(window, kRescan);
    EXPECT_EQ(Text(window, kStartStop), L"Start");
    EXPECT_EQ(Text(window, kLogOnOff), L"On");
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(window, kRunNote)));
    EXPECT_EQ(Text(window, kRunNote),
              L"Rescan closed meter " + second + L": nothing is measured, logging is off.");
    EXPECT_TRUE(IsWindowEnabled(list));

    const std::vector<std::string> first = ReadLines(path);
    ASSERT_GE(first.size(), 5u);
    EXPECT_EQ(first[0], "210400101");
    const std::vector<std::string> next = ReadLines(folder.Path() + L"\\meters_1.csv");
    ASSERT_GE(next.size(), 4u);
    EXPECT_EQ(next[0], Narrow(second));
    EXPECT_EQ(next[2].substr(0, 2), "0,") << "a new collection counts from 0";

    PostMessageW(window, WM_CLOSE, 0, 0);
    const std::optional<DWORD> exitCode = program.WaitForExit(kWaitMs);
    ASSERT_TRUE(exitCode.has_value());
    EXPECT_EQ(*exitCode, 0u);
}

// A replayed trace that the window runs past: the meter it loses does not
// just look unplugged, the line under the graph says why.
TEST(WindowCheck, AReplayThatNoLongerMatchesSaysWhy) {
    Folder folder;
    Program program(L"--replay \"" + WindowsPath(ZELMORA_TRACES_DIR "/plain.jsonl") + L"\"",
                    folder.Path());
    ASSERT_TRUE(program.Started());
    HWND window = program.WaitForWindow(kCaption);
    ASSERT_NE(window, nullptr) << "no main window";
    if (!Text(window, kMeterList).empty()) {
        Click(window, kStartStop);
    }
    EXPECT_TRUE(WaitFor([&] {
        return IsWindowVisible(GetDlgItem(window, kRunNote)) &&
               Text(window, kRunNote).starts_with(L"replay: ");
    })) << Narrow(Text(window, kRunNote));
    EXPECT_TRUE(WaitFor([&] { return Text(window, kStartStop) == L"Start"; }));
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(program.WaitForExit(kWaitMs).has_value());
}

TEST(WindowCheck, TheSmallDialogs) {
    Folder folder;
    Program program(L"--simulate", folder.Path());
    ASSERT_TRUE(program.Started());
    HWND window = program.WaitForWindow(kCaption);
    ASSERT_NE(window, nullptr);

    // The About box from the system menu, its Chinese texts intact.
    PostMessageW(window, WM_SYSCOMMAND, kAbout, 0);
    HWND about = program.WaitForWindow(L"关于 Zelmora");
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(Text(about, IDOK), L"确定");
    PostMessageW(about, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(about); }));

    // The toolbar button works once Autoscale is off.
    HWND toolBar = GetDlgItem(window, kToolBar);
    ASSERT_NE(toolBar, nullptr);
    EXPECT_FALSE(SendMessageW(toolBar, TB_ISBUTTONENABLED, kSetPowerRegion, 0));
    Click(window, kAutoscale);
    EXPECT_TRUE(SendMessageW(toolBar, TB_ISBUTTONENABLED, kSetPowerRegion, 0));
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(kSetPowerRegion, BN_CLICKED),
                 reinterpret_cast<LPARAM>(toolBar));
    HWND region = program.WaitForWindow(L"Set Power Region");
    ASSERT_NE(region, nullptr);
    EXPECT_EQ(Text(region, 1054), L"0.0000");
    EXPECT_EQ(Text(region, 1055), L"0.0010");
    EXPECT_EQ(Text(region, 1056), L"0");
    EXPECT_EQ(Text(region, 1057), L"200");
    // The number boxes drop what a number is not typed with.
    Type(region, 1057, L"9a 0");
    EXPECT_EQ(Text(region, 1057), L"90");
    // An empty power range is refused with a message, and the dialog stays.
    Type(region, 1055, L"0");
    PostMessageW(region, WM_COMMAND, IDOK, 0);
    HWND wrong = program.WaitForWindow(L"Zelmora");
    ASSERT_NE(wrong, nullptr);
    EXPECT_TRUE(HasChildText(wrong, L"Power Value Wrong!"));
    PostMessageW(wrong, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(wrong); }));
    EXPECT_TRUE(IsWindowVisible(region));
    PostMessageW(region, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(region); }));

    PostMessageW(window, WM_CLOSE, 0, 0);
    const std::optional<DWORD> exitCode = program.WaitForExit(kWaitMs);
    ASSERT_TRUE(exitCode.has_value());
    EXPECT_EQ(*exitCode, 0u);
}

struct ChildSearch {
    const wchar_t* className;
    const std::wstring* prefix;
    HWND found;
};

BOOL CALLBACK NoteChild(HWND child, LPARAM data) {
    auto* wanted = reinterpret_cast<ChildSearch*>(data);
    wchar_t name[64] = {};
    GetClassNameW(child, name, 64);
    if (_wcsicmp(name, wanted->className) == 0 && TextOf(child).starts_with(*wanted->prefix)) {
        wanted->found = child;
        return FALSE;
    }
    return TRUE;
}

// The first child window of `parent` of this class whose text starts with
// `prefix`, searched at every depth.
HWND FindChild(HWND parent, const wchar_t* className, const std::wstring& prefix) {
    ChildSearch search{className, &prefix, nullptr};
    EnumChildWindows(parent, NoteChild, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Help > Save a diagnostic report… through the platform's save dialog:
// a dated name proposed, the report written where the operator chose,
// with the user's profile folder written "~".
TEST(WindowCheck, HelpSavesADiagnosticReport) {
    Folder folder;
    Program program(L"--simulate", folder.Path());
    ASSERT_TRUE(program.Started());
    HWND window = program.WaitForWindow(kCaption);
    ASSERT_NE(window, nullptr);

    // The Help menu's entry, as choosing it sends it (Wine keeps a
    // program's menus to itself, so they are not read from here).
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(kSaveReport, 0), 0);

    HWND dialog = program.WaitForWindow(L"Save a diagnostic report");
    ASSERT_NE(dialog, nullptr) << "no save dialog";
    HWND name = nullptr;
    EXPECT_TRUE(WaitFor([&] { return (name = FindChild(dialog, L"Edit", L"zelmora-report-")); }))
        << "the dated name is not proposed";
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(TextOf(name).size(), std::wstring(L"zelmora-report-20261210-041500.txt").size())
        << Narrow(TextOf(name));
    const std::wstring path = folder.Path() + L"\\report.txt";
    SendMessageTimeoutW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()),
                        SMTO_ABORTIFHUNG, 5000, nullptr);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(dialog); }));
    ASSERT_TRUE(WaitFor([&] {
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    })) << "no report written";

    std::ifstream file(path.c_str(), std::ios::binary);
    const std::string report{std::istreambuf_iterator<char>(file), {}};
    EXPECT_TRUE(report.starts_with("Zelmora diagnostic report\n")) << report;
    for (const char* part :
         {"\nprogram: zelmora\n", "\n----------------\nWindows ",
          "\n-----------\nnone: the meter's kernel driver publishes the meters\n",
          "\nWindow settings\n", "\nmeter: 210400101\n", "\nsimulated meters: 1\n",
          "\nlog file: ~\\"}) {
        EXPECT_NE(report.find(part), std::string::npos) << part << "\n" << report;
    }
    wchar_t profile[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH), 0u);
    EXPECT_EQ(report.find(Narrow(profile)), std::string::npos) << report;

    PostMessageW(window, WM_CLOSE, 0, 0);
    const std::optional<DWORD> exitCode = program.WaitForExit(kWaitMs);
    ASSERT_TRUE(exitCode.has_value());
    EXPECT_EQ(*exitCode, 0u);
}

// What the program writes to its standard output and error when it has
// them, and its exit code; nullopt when it did not end in time.
std::optional<std::pair<DWORD, std::string>> RunForOutput(const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        return std::nullopt;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    std::wstring commandLine = L"\"" + g_program + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION info{};
    const bool started = CreateProcessW(g_program.c_str(), commandLine.data(), nullptr, nullptr,
                                        TRUE, 0, nullptr, nullptr, &startup, &info) != FALSE;
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return std::nullopt;
    }
    // Read on another thread, so that a program that never ends cannot hold
    // the check.
    std::string output;
    std::thread reader([&] {
        char buffer[512];
        DWORD got = 0;
        while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            output.append(buffer, got);
        }
    });
    const bool ended = WaitForSingleObject(info.hProcess, kWaitMs) == WAIT_OBJECT_0;
    if (!ended) {
        TerminateProcess(info.hProcess, 99);
        WaitForSingleObject(info.hProcess, 5000);
    }
    reader.join();
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    CloseHandle(readEnd);
    if (!ended) {
        return std::nullopt;
    }
    return std::pair{code, output};
}

// The usage offers what the Windows program does, and what it cannot do it
// refuses instead of ignoring it.
TEST(WindowCheck, TheCommandLineHasOnlyWhatWindowsDoes) {
    const auto help = RunForOutput(L"--help");
    ASSERT_TRUE(help.has_value()) << "--help did not end";
    EXPECT_EQ(help->first, 0u);
    EXPECT_NE(help->second.find("--simulate[=N]"), std::string::npos) << help->second;
    for (const char* absent : {"--usb-id", "--list-usb", "meters.conf"}) {
        EXPECT_EQ(help->second.find(absent), std::string::npos) << absent << "\n" << help->second;
    }
    for (const wchar_t* refused : {L"--usb-id 1234:abcd", L"--simulate --usb-id=1234:abcd",
                                   L"--list-usb", L"-style fusion"}) {
        const auto run = RunForOutput(refused);
        ASSERT_TRUE(run.has_value()) << Narrow(refused) << " opened the window";
        EXPECT_EQ(run->first, 2u) << Narrow(refused);
        EXPECT_NE(run->second.find("Usage: "), std::string::npos) << run->second;
    }
}

// A loopback TCP client of the program's SCPI server.
class ScpiClient {
public:
    explicit ScpiClient(int port) {
        m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const DWORD timeoutMs = kWaitMs;
        setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                   sizeof timeoutMs);
        m_connected =
            connect(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~ScpiClient() { closesocket(m_socket); }
    ScpiClient(const ScpiClient&) = delete;
    ScpiClient& operator=(const ScpiClient&) = delete;

    bool Connected() const { return m_connected; }
    // The answer without its LF; empty when none came.
    std::string Ask(const std::string& query) {
        const std::string line = query + "\n";
        if (send(m_socket, line.data(), static_cast<int>(line.size()), 0) !=
            static_cast<int>(line.size())) {
            return {};
        }
        std::string answer;
        char chunk[256];
        while (answer.empty() || answer.back() != '\n') {
            const int n = recv(m_socket, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return {};
            }
            answer.append(chunk, static_cast<std::size_t>(n));
        }
        answer.pop_back();
        return answer;
    }
    // Whether the server closed the connection (within the wait).
    bool Closed() {
        char byte = 0;
        return recv(m_socket, &byte, 1, 0) == 0;
    }

    // Two free loopback ports in a row, as far as one can tell.
    static int FreePorts() {
        for (int attempt = 0; attempt < 50; ++attempt) {
            SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            int length = sizeof address;
            bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
            getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
            closesocket(probe);
            const int first = ntohs(address.sin_port);
            SOCKET next = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            address.sin_port = htons(static_cast<u_short>(first + 1));
            const bool free = first < 65535 && bind(next, reinterpret_cast<sockaddr*>(&address),
                                                    sizeof address) == 0;
            closesocket(next);
            if (free) {
                return first;
            }
        }
        return 0;
    }

private:
    SOCKET m_socket = INVALID_SOCKET;
    bool m_connected = false;
};

// With --scpi the meters are instruments while the window is open; the
// window looks as it does without, and its close box closes every
// connection.
TEST(WindowCheck, ServesItsMetersWhileOpen) {
    WSADATA winsock{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &winsock), 0);
    const int port = ScpiClient::FreePorts();
    ASSERT_NE(port, 0);
    Folder folder;
    Program program(L"--simulate=2 --scpi " + std::to_wstring(port), folder.Path());
    ASSERT_TRUE(program.Started());
    HWND window = program.WaitForWindow(kCaption);
    ASSERT_NE(window, nullptr) << "no main window";
    EXPECT_EQ(Text(window, kStartStop), L"Start");
    {
        ScpiClient second(port + 1);
        ASSERT_TRUE(second.Connected());
        EXPECT_EQ(second.Ask("*IDN?").rfind("Zelmora,zelmora,210400102,", 0), 0u);
        ScpiClient first(port);
        ASSERT_TRUE(first.Connected());
        EXPECT_EQ(first.Ask("*IDN?").rfind("Zelmora,zelmora,210400101,", 0), 0u);
        const std::string watts = first.Ask("MEAS:POW?");
        EXPECT_GT(std::atof(watts.c_str()), 0) << watts;
        EXPECT_EQ(first.Ask("SYST:ERR?"), "0,\"No error\"");

        // The window streams the meter the server reads: both go on.
        Click(window, kStartStop);
        ASSERT_TRUE(WaitFor([&] { return Count(window) >= 3; })) << Narrow(Text(window, kCount));
        EXPECT_GT(std::atof(first.Ask("READ?").c_str()), 0);

        PostMessageW(window, WM_CLOSE, 0, 0);
        const std::optional<DWORD> exitCode = program.WaitForExit(kWaitMs);
        ASSERT_TRUE(exitCode.has_value()) << "the program did not end";
        EXPECT_EQ(*exitCode, 0u);
        EXPECT_TRUE(first.Closed());
        EXPECT_TRUE(second.Closed());
    }
    WSACleanup();
}

// Once installed: the Start-menu entry points at the installed program and
// starts it in its own folder, where the Help menu finds the manuals.
TEST(WindowCheck, StartsFromItsShortcut) {
    if (g_shortcut.empty()) {
        GTEST_SKIP() << "no --shortcut given";
    }
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    std::wstring target(MAX_PATH, L'\0');
    std::wstring folder(MAX_PATH, L'\0');
    {
        IShellLinkW* link = nullptr;
        ASSERT_TRUE(SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                               IID_IShellLinkW, reinterpret_cast<void**>(&link))));
        IPersistFile* file = nullptr;
        ASSERT_TRUE(
            SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))));
        EXPECT_TRUE(SUCCEEDED(file->Load(g_shortcut.c_str(), STGM_READ))) << Narrow(g_shortcut);
        link->GetPath(target.data(), MAX_PATH, nullptr, SLGP_RAWPATH);
        link->GetWorkingDirectory(folder.data(), MAX_PATH);
        file->Release();
        link->Release();
    }
    CoUninitialize();
    target.resize(std::wcslen(target.c_str()));
    folder.resize(std::wcslen(folder.c_str()));
    while (!folder.empty() && folder.back() == L'\\') {
        folder.pop_back();
    }
    EXPECT_EQ(_wcsicmp(target.c_str(), (g_installFolder + L"\\zelmora.exe").c_str()), 0)
        << Narrow(target);
    EXPECT_EQ(_wcsicmp(folder.c_str(), g_installFolder.c_str()), 0) << Narrow(folder);

    Program program(L"--simulate", folder, target);
    ASSERT_TRUE(program.Started()) << Narrow(target);
    HWND window = program.WaitForWindow(kCaption);
    ASSERT_NE(window, nullptr) << "no main window";
    PostMessageW(window, WM_CLOSE, 0, 0);
    const std::optional<DWORD> exitCode = program.WaitForExit(kWaitMs);
    ASSERT_TRUE(exitCode.has_value());
    EXPECT_EQ(*exitCode, 0u);
}

// The DPI Wine gives the programs started from now on (Wine reads it from
// the user's desktop settings when a program starts); 96 again at the end.
class ScreenDpi {
public:
    explicit ScreenDpi(int dpi) { Set(dpi); }
    ~ScreenDpi() { Set(96); }
    ScreenDpi(const ScreenDpi&) = delete;
    ScreenDpi& operator=(const ScreenDpi&) = delete;

private:
    static void Set(int dpi) {
        const DWORD value = static_cast<DWORD>(dpi);
        RegSetKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", REG_DWORD,
                        &value, sizeof value);
    }
};

// The pixels of a rectangle of the screen, top row first.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<RGBQUAD> pixels;

    const RGBQUAD& At(int x, int y) const {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)];
    }
    static bool IsRed(const RGBQUAD& p) {
        return p.rgbRed > 200 && p.rgbGreen < 80 && p.rgbBlue < 80;
    }
    // Text: white, or grey where it is smoothed.
    static bool IsInk(const RGBQUAD& p) {
        return p.rgbRed > 90 && p.rgbGreen > 90 && p.rgbBlue > 90;
    }
};

Picture TakePicture(const RECT& area) {
    Picture picture;
    picture.width = static_cast<int>(area.right - area.left);
    picture.height = static_cast<int>(area.bottom - area.top);
    if (picture.width <= 0 || picture.height <= 0) {
        return {};
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = picture.width;
    info.bmiHeader.biHeight = -picture.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, picture.width, picture.height, screen, area.left, area.top, SRCCOPY);
        GdiFlush();
        const auto* first = static_cast<const RGBQUAD*>(bits);
        picture.pixels.assign(first, first + static_cast<std::size_t>(picture.width) *
                                                 static_cast<std::size_t>(picture.height));
        SelectObject(memory, previous);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return picture;
}

// What the window looks like at a DPI, measured from outside.
struct Measures {
    SIZE client{};
    // The y axis's column and the x axis's row in the graph.
    int axisX = -1;
    int axisY = -1;
    // The height of the lowest y label's ink.
    int labelInk = 0;
    SIZE toolBar{};
    RECT graphOnScreen{};
};

std::optional<Measures> Measure(HWND window) {
    Measures measures;
    RECT client{};
    GetClientRect(window, &client);
    measures.client = {client.right, client.bottom};
    RECT toolBar{};
    GetWindowRect(GetDlgItem(window, kToolBar), &toolBar);
    measures.toolBar = {toolBar.right - toolBar.left, toolBar.bottom - toolBar.top};
    HWND view = FindWindowExW(window, nullptr, L"ZelmoraGraphView", nullptr);
    if (view == nullptr) {
        return std::nullopt;
    }
    GetWindowRect(view, &measures.graphOnScreen);
    Picture graph;
    // Drawn from the first paint on, and again after a change of DPI.
    WaitFor([&] {
        graph = TakePicture(measures.graphOnScreen);
        if (graph.pixels.empty()) {
            return false;
        }
        const int row = graph.height / 2;
        measures.axisX = -1;
        for (int x = 0; x < graph.width && measures.axisX < 0; ++x) {
            if (Picture::IsRed(graph.At(x, row))) {
                measures.axisX = x;
            }
        }
        return measures.axisX >= 0;
    });
    if (measures.axisX < 0) {
        return std::nullopt;
    }
    for (int y = graph.height - 1; y >= 0 && measures.axisY < 0; --y) {
        if (Picture::IsRed(graph.At(graph.width / 2, y))) {
            measures.axisY = y;
        }
    }
    // The lowest run of rows with ink left of the y axis, and left of the
    // x axis's first label: the lowest y label. (Higher up, the graph's
    // title, a control over the graph, would be measured.)
    const int dpi = MulDiv(measures.axisX, 96, 50);
    const int right = measures.axisX - MulDiv(8, dpi, 96);
    bool inLabel = false;
    for (int y = graph.height - 1; y >= 0; --y) {
        bool ink = false;
        for (int x = 0; x < right && !ink; ++x) {
            ink = Picture::IsInk(graph.At(x, y));
        }
        if (ink) {
            inLabel = true;
            ++measures.labelInk;
        } else if (inLabel) {
            break;
        }
    }
    return measures;
}

std::string Describe(int dpi, const Measures& m) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "%d DPI: client %ldx%ld, y axis at x %d, x axis at y %d (of %ld), "
                  "label ink %d px, toolbar %ldx%ld",
                  dpi, m.client.cx, m.client.cy, m.axisX, m.axisY,
                  m.graphOnScreen.bottom - m.graphOnScreen.top, m.labelInk, m.toolBar.cx,
                  m.toolBar.cy);
    return text;
}

// What a change of DPI would do: WM_DPICHANGED with the rectangle Windows
// proposes, written into the program's own memory as Windows passes it.
bool SendDpiChange(HWND window, DWORD process, int dpi) {
    HANDLE target = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, process);
    if (target == nullptr) {
        return false;
    }
    RECT suggested{};
    GetWindowRect(window, &suggested);
    void* remote =
        VirtualAllocEx(target, nullptr, sizeof suggested, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    bool sent = false;
    if (remote != nullptr &&
        WriteProcessMemory(target, remote, &suggested, sizeof suggested, nullptr)) {
        sent = SendMessageTimeoutW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                                   reinterpret_cast<LPARAM>(remote), SMTO_ABORTIFHUNG, kWaitMs,
                                   nullptr) != 0;
    }
    if (remote != nullptr) {
        VirtualFreeEx(target, remote, 0, MEM_RELEASE);
    }
    CloseHandle(target);
    return sent;
}

// At 96, 144 and 192 DPI the window, its fonts, the toolbar and the graph's
// text grow together: the graph's margins and its labels' ink by the DPI,
// not the window alone. A change of DPI while it runs lays it out as a
// start at that DPI does.
TEST(WindowCheck, ScalesWithTheScreensDpi) {
    // Windows reads the program's awareness from its manifest (Wine takes
    // the old system-wide one for each monitor's as well, so it is read
    // here as Windows reads it).
    HMODULE image = LoadLibraryExW(g_program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr) << "no manifest";
    const auto* text = static_cast<const char*>(LockResource(LoadResource(image, found)));
    const std::string manifest(text, SizeofResource(image, found));
    FreeLibrary(image);
    EXPECT_NE(manifest.find(">PerMonitorV2</dpiAwareness>"), std::string::npos) << manifest;
    EXPECT_NE(manifest.find(">true/pm</dpiAware>"), std::string::npos) << manifest;

    std::map<int, Measures> at;
    for (const int dpi : {96, 144, 192}) {
        const ScreenDpi screen(dpi);
        Folder folder;
        Program program(L"--simulate", folder.Path());
        ASSERT_TRUE(program.Started());
        HWND window = program.WaitForWindow(kCaption);
        ASSERT_NE(window, nullptr) << dpi;
        const std::optional<Measures> measures = Measure(window);
        ASSERT_TRUE(measures.has_value()) << dpi << ": no graph drawn";
        at[dpi] = *measures;
        std::printf("%s\n", Describe(dpi, *measures).c_str());

        if (dpi == 96) {
            // Moved to a monitor of 144 DPI.
            ASSERT_TRUE(SendDpiChange(window, program.Id(), 144));
            const std::optional<Measures> moved = Measure(window);
            ASSERT_TRUE(moved.has_value());
            at[-144] = *moved;
            std::printf("%s (moved from 96)\n", Describe(144, *moved).c_str());
        }
        PostMessageW(window, WM_CLOSE, 0, 0);
        ASSERT_EQ(program.WaitForExit(kWaitMs), std::optional<DWORD>(0)) << dpi;
    }

    const Measures& base = at[96];
    for (const int dpi : {144, 192, -144}) {
        const Measures& m = at[dpi];
        const int d = std::abs(dpi);
        const double scale = d / 96.0;
        const std::string what = Describe(d, m) + (dpi < 0 ? " (moved)" : "");
        // The window by its fonts' metrics, within a few percent.
        EXPECT_NEAR(m.client.cx, base.client.cx * scale, base.client.cx * scale * 0.05) << what;
        EXPECT_NEAR(m.client.cy, base.client.cy * scale, base.client.cy * scale * 0.05) << what;
        // The graph's layout exactly by the DPI.
        EXPECT_EQ(m.axisX, MulDiv(50, d, 96)) << what;
        const int graphHeight = static_cast<int>(m.graphOnScreen.bottom - m.graphOnScreen.top);
        EXPECT_EQ(m.axisY, graphHeight - MulDiv(30, d, 96)) << what;
        // The labels' text as large to the eye.
        EXPECT_GE(m.labelInk, base.labelInk * scale * 0.75) << what;
        EXPECT_LE(m.labelInk, base.labelInk * scale * 1.35) << what;
        EXPECT_EQ(m.toolBar.cx, MulDiv(30, d, 96)) << what;
    }
    // A window moved to 144 DPI looks as one started there. (Its height is
    // left out: Wine keeps the caption and menu bar at the system's DPI,
    // whose change this only imitates, so the client area gets what they
    // leave.)
    EXPECT_NEAR(at[-144].client.cx, at[144].client.cx, 3);
    EXPECT_EQ(at[-144].graphOnScreen.right - at[-144].graphOnScreen.left,
              at[144].graphOnScreen.right - at[144].graphOnScreen.left);
    EXPECT_EQ(at[-144].graphOnScreen.bottom - at[-144].graphOnScreen.top,
              at[144].graphOnScreen.bottom - at[144].graphOnScreen.top);
    EXPECT_EQ(at[-144].labelInk, at[144].labelInk);
}

// The bench view's client area on the screen, split into `parts` equal
// columns (or rows): in which one the focused tile's frame is, -1 where
// none shows it, and how many digit pixels each one holds.
struct BenchLook {
    int focusPart = -1;
    std::vector<int> digits;
};

BenchLook LookAtBench(HWND bench, int parts, bool rows) {
    RECT client{};
    GetClientRect(bench, &client);
    MapWindowPoints(bench, nullptr, reinterpret_cast<POINT*>(&client), 2);
    const Picture picture = TakePicture(client);
    BenchLook look;
    look.digits.assign(static_cast<std::size_t>(parts), 0);
    std::vector<int> focus(static_cast<std::size_t>(parts), 0);
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            const RGBQUAD& p = picture.At(x, y);
            const int part = rows ? y * parts / picture.height : x * parts / picture.width;
            // The focus frame: (0, 200, 255); the digits: yellow.
            if (p.rgbRed < 40 && p.rgbGreen > 170 && p.rgbGreen < 230 && p.rgbBlue > 220) {
                ++focus[static_cast<std::size_t>(part)];
            } else if (p.rgbRed > 200 && p.rgbGreen > 200 && p.rgbBlue < 80) {
                ++look.digits[static_cast<std::size_t>(part)];
            }
        }
    }
    for (int part = 0; part < parts; ++part) {
        // Two lines of frame along a tile's side at least.
        if (focus[static_cast<std::size_t>(part)] > 100) {
            look.focusPart = look.focusPart == -1 ? part : -2;
        }
    }
    return look;
}

constexpr const wchar_t* kBenchCaption = L"Zelmora bench view";
constexpr int kBenchViewCommand = 32781;

TEST(WindowCheck, TheBenchViewShowsEveryMeterBesideTheWindow) {
    Folder folder;
    Program program(L"--simulate=3 --bench", folder.Path());
    ASSERT_TRUE(program.Started());
    HWND window = program.WaitForWindow(kCaption);
    ASSERT_NE(window, nullptr) << "no main window";
    HWND bench = program.WaitForWindow(kBenchCaption);
    ASSERT_NE(bench, nullptr) << "--bench did not open the bench view";
    EXPECT_NE(GetWindowLongW(bench, GWL_STYLE) & WS_THICKFRAME, 0) << "not resizable";

    // The main window measures its meter while the view shows all three,
    // the first one through the main window's link.
    Click(window, kStartStop);
    ASSERT_TRUE(WaitFor([&] { return Count(window) >= 3; })) << Narrow(Text(window, kCount));
    SetWindowPos(bench, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    BenchLook look;
    EXPECT_TRUE(WaitFor([&] {
        look = LookAtBench(bench, 3, false);
        return look.focusPart == 0 && look.digits[0] > 50 && look.digits[1] > 50 &&
               look.digits[2] > 50;
    })) << "focus in "
        << look.focusPart << ", digit pixels " << look.digits[0] << " " << look.digits[1] << " "
        << look.digits[2];

    // Keys and clicks reach the view: Tab to the second tile, a click
    // on the third.
    PostMessageW(bench, WM_KEYDOWN, VK_TAB, 1);
    EXPECT_TRUE(WaitFor([&] { return LookAtBench(bench, 3, false).focusPart == 1; }));
    RECT client{};
    GetClientRect(bench, &client);
    PostMessageW(bench, WM_LBUTTONDOWN, MK_LBUTTON,
                 MAKELPARAM(client.right * 5 / 6, client.bottom / 4));
    PostMessageW(bench, WM_LBUTTONUP, 0, MAKELPARAM(client.right * 5 / 6, client.bottom / 4));
    EXPECT_TRUE(WaitFor([&] { return LookAtBench(bench, 3, false).focusPart == 2; }));

    // Tall and narrow: the tiles stand in one column, the focus stays.
    SetWindowPos(bench, HWND_TOP, 0, 0, 500, 900, SWP_NOMOVE);
    EXPECT_TRUE(WaitFor([&] {
        look = LookAtBench(bench, 3, true);
        return look.focusPart == 2 && look.digits[0] > 50 && look.digits[1] > 50 &&
               look.digits[2] > 50;
    })) << "focus in "
        << look.focusPart;

    // Closed, the view lets its meters go; the main window goes on, and
    // its menu entry opens the view again.
    PostMessageW(bench, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(bench); }));
    const int before = Count(window);
    EXPECT_TRUE(WaitFor([&] { return Count(window) >= before + 5; }));
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(kBenchViewCommand, 0), 0);
    bench = program.WaitForWindow(kBenchCaption);
    ASSERT_NE(bench, nullptr) << "the menu entry did not open the bench view";
    EXPECT_TRUE(WaitFor([&] {
        look = LookAtBench(bench, 3, false);
        return look.digits[0] > 50 && look.digits[1] > 50 && look.digits[2] > 50;
    }));

    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.WaitForExit(kWaitMs), std::optional<DWORD>(0));
}

// The README's pictures: three meters streaming for a while, in the main
// window or, with `bench`, in the bench view beside it.
int Shot(int seconds, const std::wstring& rectFile, const std::wstring& doneFile, bool bench) {
    Folder folder;
    Program program(bench ? L"--simulate=3 --bench" : L"--simulate=3", folder.Path());
    HWND window = program.Started() ? program.WaitForWindow(kCaption) : nullptr;
    HWND shown = bench && window != nullptr ? program.WaitForWindow(kBenchCaption) : window;
    if (window == nullptr || shown == nullptr) {
        std::fputs("zelmora_window_check: the program did not open its window\n", stderr);
        return 1;
    }
    Click(window, kStartStop);
    if (bench) {
        // The view on top, at its first size, the second tile selected.
        SetWindowPos(shown, HWND_TOP, 0, 0, 0, 0, SWP_NOSIZE);
        PostMessageW(shown, WM_KEYDOWN, VK_TAB, 1);
    }
    Sleep(static_cast<DWORD>(seconds) * 1000);
    RECT rect{};
    GetWindowRect(shown, &rect);
    {
        std::ofstream out(rectFile.c_str());
        out << (rect.right - rect.left) << "x" << (rect.bottom - rect.top) << "+" << rect.left
            << "+" << rect.top << "\n";
    }
    WaitFor([&] { return GetFileAttributesW(doneFile.c_str()) != INVALID_FILE_ATTRIBUTES; }, 60000);
    PostMessageW(window, WM_CLOSE, 0, 0);
    return program.WaitForExit(kWaitMs) == std::optional<DWORD>(0) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    int shotSeconds = 0;
    bool shotBench = false;
    std::wstring rectFile;
    std::wstring doneFile;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto value = [&argument](const char* name) -> std::optional<std::string> {
            const std::string prefix = std::string(name) + "=";
            if (argument.rfind(prefix, 0) == 0) {
                return argument.substr(prefix.size());
            }
            return std::nullopt;
        };
        if (auto program = value("--program")) {
            g_program = WindowsPath(*program);
        } else if (auto shortcut = value("--shortcut")) {
            g_shortcut = WindowsPath(*shortcut);
        } else if (auto folder = value("--install-folder")) {
            g_installFolder = WindowsPath(*folder);
        } else if (auto shot = value("--shot")) {
            shotSeconds = std::atoi(shot->c_str());
        } else if (auto rect = value("--rect-file")) {
            rectFile = WindowsPath(*rect);
        } else if (auto done = value("--done-file")) {
            doneFile = WindowsPath(*done);
        } else if (argument == "--bench") {
            shotBench = true;
        } else if (auto cli = value("--cli")) {
            g_cli = WindowsPath(*cli);
        }
    }
    if (g_program.empty() && g_shortcut.empty()) {
        std::fputs("usage: zelmora_window_check --program=<zelmora.exe> [--shot=<seconds> "
                   "--rect-file=<file> --done-file=<file> [--bench]]\n",
                   stderr);
        return 2;
    }
    if (shotSeconds > 0) {
        return Shot(shotSeconds, rectFile, doneFile, shotBench);
    }
    return RUN_ALL_TESTS();
}

// The Windows program itself, driven from outside through window messages
// as an operator's clicks and keys would reach it, on a virtual X server
// under Wine:
//
//   zelmora_window_check --program=<zelmora.exe>   the checks (GoogleTest)
//   zelmora_window_check --program=<zelmora.exe> --shot=<seconds>
//       --rect-file=<file> --done-file=<file>
//       starts three simulated meters streaming, writes the window's
//       rectangle on the screen into the rect file after the given seconds
//       and closes the program once the done file exists (the README's
//       picture is taken in between: scripts/screenshot.sh).
//
// Every wait is bounded; a program that hangs fails the check instead of
// holding it.

#include <windows.h>
// The other platform headers need windows.h before them.
#include <chrono>
#include <commctrl.h>
#include <cstdio>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring g_program;

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
    Program(const std::wstring& arguments, const std::wstring& folder) {
        std::wstring commandLine = L"\"" + g_program + L"\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        m_started = CreateProcessW(g_program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                   0, nullptr, folder.c_str(), &startup, &m_info) != FALSE;
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
    ASSERT_TRUE(WaitFor([&] { return Count(window) >= 2; }));

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

// The README's picture: three meters streaming for a while.
int Shot(int seconds, const std::wstring& rectFile, const std::wstring& doneFile) {
    Folder folder;
    Program program(L"--simulate=3", folder.Path());
    HWND window = program.Started() ? program.WaitForWindow(kCaption) : nullptr;
    if (window == nullptr) {
        std::fputs("zelmora_window_check: the program did not open its window\n", stderr);
        return 1;
    }
    Click(window, kStartStop);
    Sleep(static_cast<DWORD>(seconds) * 1000);
    RECT rect{};
    GetWindowRect(window, &rect);
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
        } else if (auto shot = value("--shot")) {
            shotSeconds = std::atoi(shot->c_str());
        } else if (auto rect = value("--rect-file")) {
            rectFile = WindowsPath(*rect);
        } else if (auto done = value("--done-file")) {
            doneFile = WindowsPath(*done);
        }
    }
    if (g_program.empty()) {
        std::fputs("usage: zelmora_window_check --program=<zelmora.exe> [--shot=<seconds> "
                   "--rect-file=<file> --done-file=<file>]\n",
                   stderr);
        return 2;
    }
    if (shotSeconds > 0) {
        return Shot(shotSeconds, rectFile, doneFile);
    }
    return RUN_ALL_TESTS();
}

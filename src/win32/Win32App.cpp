#include "win32/Win32App.h"

#include "frontend/AppOptions.h"
#include "frontend/MeterDriver.h"
#include "scpi/ScpiService.h"
#include "share/ShareHub.h"
#include "usb/driver/UsbDriver.h"
#include "win32/Win32Dialog.h"
#include "win32/Win32Text.h"
#include "win32/Win32ZelmoraDlg.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include <windows.h>

namespace zelmora {

CWin32App::CWin32App(std::vector<std::string> arguments) : m_arguments(std::move(arguments)) {}

std::vector<std::string> CWin32App::CommandLine() {
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) {
        arguments.push_back(Narrow(words[i]));
    }
    LocalFree(words);
    return arguments;
}

namespace {

// Writes to a standard handle that leads somewhere; false where there is
// none (a program started from the desktop).
bool WriteStandard(DWORD which, const std::string& text) {
    HANDLE stream = GetStdHandle(which);
    if (stream == nullptr || stream == INVALID_HANDLE_VALUE ||
        GetFileType(stream) == FILE_TYPE_UNKNOWN) {
        return false;
    }
    DWORD written = 0;
    WriteFile(stream, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return true;
}

} // namespace

void CWin32App::TellConsole(const std::string& text) {
    WriteStandard(STD_ERROR_HANDLE, text);
}

std::unique_ptr<CScpiService> CWin32App::Serve(const AppOptions& options, UsbDriver& driver,
                                               std::shared_ptr<MeterSources> sources) {
    if (options.scpi.port == 0) {
        return nullptr;
    }
    std::string problem;
    auto service = CScpiService::ServeMetersPresent(
        driver, std::move(sources), {.address = options.scpi.address, .allow = options.scpi.allow},
        options.scpi.port, [](const std::string& line) { TellConsole("zelmora: " + line + "\n"); },
        problem);
    if (!service) {
        Tell("zelmora: " + problem + "\n", true);
    }
    return service;
}

void CWin32App::Tell(const std::string& text, bool error) {
    if (WriteStandard(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, text)) {
        return;
    }
    MessageBoxW(nullptr, Widen(text).c_str(), CWin32Dialog::AppTitle(),
                MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

bool CWin32App::InitInstance() {
    const std::string program = m_arguments.empty() ? "zelmora" : m_arguments.front();
    const std::vector<std::string> rest(m_arguments.begin() + (m_arguments.empty() ? 0 : 1),
                                        m_arguments.end());
    const AppOptions options = AppOptions::Parse(rest, AppOptions::Host::Windows);
    switch (options.action) {
    case AppOptions::Action::Run:
        break;
    case AppOptions::Action::ListUsb:
        // Refused by the Windows command line; kept for the switch's sake.
        Tell(program + ": " + kNoUsbListing + "\n", true);
        m_exitCode = 2;
        return false;
    case AppOptions::Action::Help:
        Tell(AppOptions::HelpText(program, AppOptions::Host::Windows), false);
        return false;
    case AppOptions::Action::Version:
        Tell("Zelmora " ZELMORA_VERSION "\n", false);
        return false;
    case AppOptions::Action::Error:
        Tell(program + ": " + options.error + "\n" +
                 AppOptions::HelpText(program, AppOptions::Host::Windows),
             true);
        m_exitCode = 2;
        return false;
    }

    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = 0xFF; // every classic common control
    InitCommonControlsEx(&controls);
    // The save-file dialog and the shell want a single-threaded apartment.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    std::vector<std::string> problems;
    const std::unique_ptr<UsbDriver> driver = CreateMeterDriver(options, problems);
    for (const std::string& problem : problems) {
        Tell("zelmora: " + problem + "\n", true);
    }
    {
        // The meters are shared with the user's other processes: one that
        // another program owns is watched through it. With --scpi the window
        // and the server read their meters through the same hub, so that
        // each meter is polled once.
        const std::shared_ptr<MeterSources> sources =
            std::make_shared<CShareHub>(*driver, CShareHub::FromEnvironment("zelmora"));
        const std::unique_ptr<CScpiService> served = Serve(options, *driver, sources);
        if (options.scpi.port != 0 && !served) {
            m_exitCode = 1;
        } else {
            CWin32ZelmoraDlg window(*driver, {}, sources);
            window.SetProgramOptions(options);
            if (options.bench) {
                window.OpenBenchViewOnStart();
            }
            if (window.DoModal() == -1) {
                m_exitCode = 1;
            }
        }
    }
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return false;
}

} // namespace zelmora

#include "app/ZelmoraApp.h"

#include "app/TerminationSignals.h"
#include "app/ZelmoraDlg.h"
#include "frontend/MeterDriver.h"
#include "scpi/ScpiService.h"
#include "share/ShareHub.h"
#include "usb/driver/UsbDriver.h"

#include <QApplication>
#include <csignal>
#include <cstdio>

namespace zelmora {

CZelmoraApp::CZelmoraApp(int& argc, char** argv) : m_argc(argc), m_argv(argv) {}

CZelmoraApp::~CZelmoraApp() = default;

MeterSetup CZelmoraApp::CreateDriver(const AppOptions& options) {
    std::vector<std::string> problems;
    MeterSetup setup = CreateMeterSetup(options, problems);
    for (const std::string& problem : problems) {
        std::fprintf(stderr, "zelmora: %s\n", problem.c_str());
    }
    return setup;
}

void CZelmoraApp::CloseAllWindows() {
    // Open dialogs first, then the main window, whose modal loop then ends.
    QApplication::closeAllWindows();
}

bool CZelmoraApp::AnswerWithoutWindow(const std::string& program, const AppOptions& options) {
    switch (options.action) {
    case AppOptions::Action::Run:
        return true;
    case AppOptions::Action::ListUsb: {
        std::vector<std::string> problems;
        const auto devices = ListAllUsbDevices(options, problems);
        for (const std::string& problem : problems) {
            std::fprintf(stderr, "zelmora: %s\n", problem.c_str());
        }
        if (!devices) {
            std::fprintf(stderr, "zelmora: %s\n", kNoUsbListing);
            m_exitCode = 1;
        } else {
            std::fputs(FormatUsbListing(*devices).c_str(), stdout);
        }
        return false;
    }
    case AppOptions::Action::Help:
        std::fputs(AppOptions::HelpText(program).c_str(), stdout);
        return false;
    case AppOptions::Action::Version:
        std::printf("Zelmora %s\n", ZELMORA_VERSION);
        return false;
    case AppOptions::Action::Error:
        break;
    }
    std::fprintf(stderr, "%s: %s\n%s", program.c_str(), options.error.c_str(),
                 AppOptions::HelpText(program).c_str());
    m_exitCode = 2;
    return false;
}

std::unique_ptr<CScpiService> CZelmoraApp::Serve(const AppOptions& options, UsbDriver& driver,
                                                 std::shared_ptr<MeterSources> sources) {
    if (options.scpi.port == 0) {
        return nullptr;
    }
    // The poll period is the window's: the server takes what it polls.
    std::string problem;
    auto service = CScpiService::ServeMetersPresent(
        driver, std::move(sources), {.address = options.scpi.address, .allow = options.scpi.allow},
        options.scpi.port,
        [](const std::string& line) { std::fprintf(stderr, "zelmora: %s\n", line.c_str()); },
        problem);
    if (!service) {
        std::fprintf(stderr, "zelmora: %s\n", problem.c_str());
    }
    std::fflush(stderr);
    return service;
}

bool CZelmoraApp::InitInstance() {
    // Qt's own options are passed over here and left for Qt: --help,
    // --version and every mistake are answered before Qt looks for a
    // display.
    std::vector<std::string> arguments;
    for (int i = 1; i < m_argc; ++i) {
        arguments.emplace_back(m_argv[i]);
    }
    const std::string program = m_argc > 0 ? m_argv[0] : "zelmora";
    const AppOptions options = AppOptions::Parse(arguments);
    if (!AnswerWithoutWindow(program, options)) {
        return false;
    }

    QApplication::setApplicationName(QStringLiteral("Zelmora"));
    QApplication::setApplicationVersion(QStringLiteral(ZELMORA_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("zelmora"));
    m_application = std::make_unique<QApplication>(m_argc, m_argv);

#if defined(SIGXFSZ)
    // A file-size limit makes the log's write fail, which the window reports
    // with the file intact, instead of killing the program.
    std::signal(SIGXFSZ, SIG_IGN);
#endif

    const MeterSetup setup = CreateDriver(options);
    {
        // The meters are shared with the user's other processes: one that
        // another program owns is watched through it.
        auto shared =
            std::make_shared<CShareHub>(*setup.driver, CShareHub::FromEnvironment("zelmora"));
        // Through the same sources as the window: a meter it shows and
        // serves is polled once.
        const std::unique_ptr<CScpiService> served = Serve(options, *setup.driver, shared);
        if (options.scpi.port != 0 && !served) {
            m_exitCode = 1;
            return false;
        }
        CZelmoraDlg window(*setup.driver, nullptr, {}, setup.finder.get(), shared);
        window.SetProgramOptions(options);
        // Ctrl+C or a shutdown closes the windows as their close boxes do,
        // so the log file is closed with every record in it.
        const CTerminationSignals termination(CloseAllWindows);
        if (options.bench) {
            window.OpenBenchView();
        }
        window.DoModal();
    }
    return false;
}

} // namespace zelmora

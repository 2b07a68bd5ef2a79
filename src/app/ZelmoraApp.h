#pragma once

// The application: reads the command line, chooses the USB backend, runs the
// main window modally and ends when it closes. main() only creates it.

#include "frontend/AppOptions.h"
#include "frontend/MeterDriver.h"

#include <memory>
#include <string>
#include <vector>

class QApplication;

namespace zelmora {

class CScpiService;
class MeterSources;
class UsbDriver;

class CZelmoraApp {
public:
    CZelmoraApp(int& argc, char** argv);
    CZelmoraApp(const CZelmoraApp&) = delete;
    CZelmoraApp& operator=(const CZelmoraApp&) = delete;
    ~CZelmoraApp();

    // Runs the whole program. Returns false, as there is no message loop
    // left to enter once the main window has closed.
    bool InitInstance();
    // The process's exit status once InitInstance has returned.
    int GetExitCode() const { return m_exitCode; }

    // The backends the options ask for, behind one driver: real meters
    // through libusb (where the build has it) by the match list of the
    // configuration files and --usb-id, then simulated meters on the
    // virtual backend; with the finder of the real ones where there is one.
    // Problems with the configuration go to standard error.
    static MeterSetup CreateDriver(const AppOptions& options);
    // The meters present served as SCPI instruments, as --scpi asks; none
    // without --scpi, and none with the problem on standard error when they
    // cannot be.
    static std::unique_ptr<CScpiService> Serve(const AppOptions& options, UsbDriver& driver,
                                               std::shared_ptr<MeterSources> sources);
    // What SIGINT and SIGTERM do: close every window as its close box does.
    static void CloseAllWindows();

private:
    // Prints the help, the version or what is wrong with the options and
    // sets the exit code; true when the options ask to run the window.
    bool AnswerWithoutWindow(const std::string& program, const AppOptions& options);

    int& m_argc;
    char** m_argv;
    int m_exitCode = 0;
    std::unique_ptr<QApplication> m_application;
};

} // namespace zelmora

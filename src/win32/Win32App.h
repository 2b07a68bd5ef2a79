#pragma once

// The Windows program: reads the command line (AppOptions, as the Windows
// program takes it: --simulate, --real, --scpi, --allow, --help, --version), initialises the
// common controls, makes the USB driver the options ask for (the meter's kernel driver;
// simulated meters with --simulate), serves the meters as SCPI instruments with --scpi, runs the
// main window modally and ends when it closes.

#include <memory>
#include <string>
#include <vector>

namespace zelmora {

struct AppOptions;
class CScpiService;
class MeterSources;
class UsbDriver;

class CWin32App {
public:
    // `arguments` are the command line's, UTF-8, the program's name first.
    explicit CWin32App(std::vector<std::string> arguments);

    // Runs the whole program; false, as there is no message loop left once
    // the main window has closed.
    bool InitInstance();
    // The process's exit status once InitInstance has returned.
    int GetExitCode() const { return m_exitCode; }

    // The command line of this process, UTF-8.
    static std::vector<std::string> CommandLine();

private:
    // Writes to standard output or error where the program has one (run
    // from a console or with redirection), and into a message box
    // otherwise.
    static void Tell(const std::string& text, bool error);
    // Writes to standard error where there is one, and nowhere otherwise:
    // for what a thread reports while the window runs.
    static void TellConsole(const std::string& text);
    // The meters present served as --scpi asks, through `sources`, which
    // the window opens its meters through too; none without --scpi, and
    // none with the problem told when they cannot be.
    static std::unique_ptr<CScpiService> Serve(const AppOptions& options, UsbDriver& driver,
                                               std::shared_ptr<MeterSources> sources);

    std::vector<std::string> m_arguments;
    int m_exitCode = 0;
};

} // namespace zelmora

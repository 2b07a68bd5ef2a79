#pragma once

// The Windows program: reads the command line (AppOptions, as the Windows
// program takes it: --simulate, --real, --help, --version), initialises the common controls, makes
// the USB driver the options ask for (the meter's kernel driver; simulated meters with
// --simulate), runs the main window modally and ends when it closes.

#include <string>
#include <vector>

namespace zelmora {

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

    std::vector<std::string> m_arguments;
    int m_exitCode = 0;
};

} // namespace zelmora

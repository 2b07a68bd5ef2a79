#pragma once

// The application: reads the command line, chooses the USB backend, runs the
// main window modally and ends when it closes. main() only creates it.

#include "app/AppOptions.h"

#include <memory>
#include <vector>

class QApplication;

namespace zelmora {

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

    // The backend the options ask for. Simulated meters plug into the
    // virtual backend; real meters need a real backend, and without one the
    // virtual backend stands in empty, so no meter is listed.
    static std::unique_ptr<UsbDriver> CreateDriver(const AppOptions& options);

private:
    int& m_argc;
    char** m_argv;
    int m_exitCode = 0;
    std::unique_ptr<QApplication> m_application;
};

} // namespace zelmora

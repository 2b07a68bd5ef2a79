#include "win32/Win32App.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*commandLine*/,
                    int /*show*/) {
    zelmora::CWin32App app(zelmora::CWin32App::CommandLine());
    app.InitInstance();
    return app.GetExitCode();
}

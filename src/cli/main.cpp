// zelmora-cli: the meters' power without a window, for scripts, servers and
// unattended runs.

#include "cli/Cli.h"
#include "cli/StopSignal.h"

#include <csignal>
#include <cstdio>
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

int main(int argc, char** argv) {
    // Before any thread starts, so that every thread keeps them blocked and
    // only the run's wait takes them.
    zelmora::CTerminationSignals signals;
    // A reader that goes away, or a file-size limit, fails a write instead
    // of ending the program: the run then ends in order.
    zelmora::CliContext context;
#if defined(_WIN32)
    context.errIsTerminal = _isatty(_fileno(stderr)) != 0;
#else
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    context.errIsTerminal = isatty(STDERR_FILENO) == 1;
#endif
    context.stop = &signals;
    context.share = true;
    return zelmora::RunCli({argv + 1, argv + argc}, context);
}

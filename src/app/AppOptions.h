#pragma once

// The program's command line.
//
//   zelmora                 real meters (none where no real backend exists)
//   zelmora --simulate[=N]  N simulated meters (1 to 15, default 1) of the
//                           probe families in turn: KV, RM, ZN
//   zelmora --help | --version

#include <string>
#include <vector>

namespace zelmora {

struct AppOptions {
    enum class Action { Run, Help, Version, Error };

    Action action = Action::Run;
    // Simulated meters to plug in; 0 means real meters.
    int simulatedMeters = 0;
    // What went wrong, for Action::Error.
    std::string error;

    // Reads the arguments after the program name. Arguments Qt itself
    // understands (-platform, -style ...) are not this program's and must
    // be removed before.
    static AppOptions Parse(const std::vector<std::string>& arguments);
    static std::string HelpText(const std::string& program);
};

} // namespace zelmora

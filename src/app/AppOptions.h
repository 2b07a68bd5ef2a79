#pragma once

// The program's command line.
//
//   zelmora                 real meters
//   zelmora --simulate[=N]  N simulated meters (1 to 15, default 1) of the
//                           probe families in turn: KV, RM, ZN, instead of
//                           the real ones
//   --real                  real meters as well as simulated ones
//   --usb-id vvvv:pppp      also take USB devices of this vendor:product id
//                           for meters (repeatable; implies real meters)
//   zelmora --help | --version

#include <string>
#include <vector>

namespace zelmora {

struct AppOptions {
    enum class Action { Run, Help, Version, Error };

    Action action = Action::Run;
    // Simulated meters to plug in.
    int simulatedMeters = 0;
    // Real meters are listed: without --simulate, or with --real or --usb-id.
    bool realMeters = true;
    // The --usb-id values, checked, in order.
    std::vector<std::string> usbIds;
    // What went wrong, for Action::Error, and the argument it is about.
    std::string error;
    std::string argument;

    // Whether Qt may understand the argument, which then waits for Qt to
    // take its own options out first. Anything else is wrong at once, so a
    // mistyped option is reported even where Qt finds no display.
    bool MayBeQtOption() const;

    // Reads the arguments after the program name. Arguments Qt itself
    // understands (-platform, -style ...) are not this program's and must
    // be removed before.
    static AppOptions Parse(const std::vector<std::string>& arguments);
    static std::string HelpText(const std::string& program);
};

} // namespace zelmora

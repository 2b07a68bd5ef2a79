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
//   --scpi [ADDR:]PORT      also serve the meters present at the start as
//   --allow PREFIX,...      SCPI instruments, as zelmora-cli serve does
//   --bench                 the bench view opens beside the window
//   zelmora --list-usb      every USB device plugged in, with the ones on
//                           the match list marked, then exit
//   zelmora --help | --version
//
// The Windows program takes --simulate, --real, --bench, --scpi, --allow,
// --help and --version only:
// the meter's kernel driver publishes the meters there, so there is no
// list of USB ids to extend or USB devices to list, and no Qt.

#include "frontend/ScpiOptions.h"

#include <cstddef>
#include <string>
#include <vector>

namespace zelmora {

struct AppOptions {
    enum class Action { Run, ListUsb, Help, Version, Error };
    // The program whose command line is read: the Qt window (Linux) or the
    // native Windows program.
    enum class Host { Qt, Windows };

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
    // --real or --usb-id was given.
    bool askedForReal = false;
    // --scpi and --allow: where the meters are served; port 0 when not.
    ScpiOptions scpi;
    // --bench: the bench view opens beside the window.
    bool bench = false;
    // --trace FILE: every request to the meters and its reply are recorded
    // there; empty when not.
    std::string traceFile;

    // Whether the count of --simulate may come as the next argument
    // ("--simulate 3"), as the window takes it. A command line that also
    // takes meter ids as arguments allows only "--simulate=3".
    enum class SimulateCount { Joined, JoinedOrNext };

    // Reads the meter option at arguments[i] (--simulate[=N], --real,
    // --usb-id), with its value: i is left on the last argument it used.
    // False when arguments[i] is none of them. A bad value sets
    // Action::Error with the reason. Front ends with command lines of
    // their own read their meter options with this, then SettleMeters.
    bool ParseMeterOption(const std::vector<std::string>& arguments, std::size_t& i,
                          SimulateCount simulateCount);
    // Reads --scpi or --allow at arguments[i], with its value, as
    // ParseMeterOption reads the meter options.
    bool ParseServeOption(const std::vector<std::string>& arguments, std::size_t& i);
    // Real meters are listed without --simulate, or with --real or --usb-id.
    void SettleMeters();
    // The lines of --help that describe the meter options.
    static std::string MeterOptionsHelp();
    // The line of --bench in both programs' usage.
    static std::string BenchHelp();

    // Reads the arguments after the program name. Qt's own options
    // (-platform offscreen, -style=fusion ...) are passed over in exactly
    // the forms Qt takes them, with their values, so every other mistake is
    // found before Qt is started and looks for a display.
    static AppOptions Parse(const std::vector<std::string>& arguments, Host host = Host::Qt);
    // How many arguments from `arguments[i]` on are one of Qt's own options
    // with its value; 0 when that argument is not one.
    static std::size_t QtOptionLength(const std::vector<std::string>& arguments, std::size_t i);
    static std::string HelpText(const std::string& program, Host host = Host::Qt);
};

} // namespace zelmora

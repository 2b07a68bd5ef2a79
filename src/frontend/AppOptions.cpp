#include "frontend/AppOptions.h"

#include "meter/DeviceLink.h"
#include "usb/driver/MatchList.h"
#include "util/TextFormat.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace zelmora {

AppOptions AppOptions::Parse(const std::vector<std::string>& arguments, Host host) {
    AppOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (host == Host::Qt) {
            if (const std::size_t qtOption = QtOptionLength(arguments, i); qtOption > 0) {
                i += qtOption - 1;
                continue;
            }
        }
        const std::string& argument = arguments[i];
        if (host == Host::Windows && (argument == "--list-usb" || argument == "--usb-id" ||
                                      argument.starts_with("--usb-id="))) {
            // Taken quietly, they would promise what the program cannot do.
            options.action = Action::Error;
            options.error = "'" + argument +
                            "' is not an option on Windows: the meter's USB driver lists "
                            "the meters, and the program takes them all";
            options.argument = argument;
            return options;
        }
        if (argument == "--help" || argument == "-h") {
            options.action = Action::Help;
            return options;
        }
        if (argument == "--version") {
            options.action = Action::Version;
            return options;
        }
        if (argument == "--bench") {
            options.bench = true;
            continue;
        }
        if (argument == "--list-usb") {
            options.action = Action::ListUsb;
            continue;
        }
        if (options.ParseServeOption(arguments, i)) {
            if (options.action == Action::Error) {
                return options;
            }
            continue;
        }
        if (options.ParseMeterOption(arguments, i, SimulateCount::JoinedOrNext)) {
            if (options.action == Action::Error) {
                return options;
            }
            continue;
        }
        options.action = Action::Error;
        options.error = "unknown argument '" + argument + "'";
        options.argument = argument;
        return options;
    }
    if (!options.scpi.allow.empty() && options.scpi.port == 0) {
        options.action = Action::Error;
        options.error = "--allow is a companion of --scpi, which is not given";
        options.argument = "--allow";
        return options;
    }
    options.SettleMeters();
    return options;
}

bool AppOptions::ParseServeOption(const std::vector<std::string>& arguments, std::size_t& i) {
    const std::string& given = arguments[i];
    std::string (ScpiOptions::*store)(const std::string&) = nullptr;
    std::string name;
    for (const auto& [option, setter] :
         {std::pair{std::string("--scpi"), &ScpiOptions::SetListen},
          std::pair{std::string("--allow"), &ScpiOptions::AddAllowed}}) {
        if (given == option || given.starts_with(option + "=")) {
            store = setter;
            name = option;
        }
    }
    if (store == nullptr) {
        return false;
    }
    std::string value;
    if (given != name) {
        value = given.substr(name.size() + 1);
    } else if (i + 1 < arguments.size()) {
        value = arguments[++i];
    } else {
        action = Action::Error;
        error = name + " needs a value";
        argument = given;
        return true;
    }
    if (std::string problem = (scpi.*store)(value); !problem.empty()) {
        action = Action::Error;
        error = name + " " + problem;
        argument = given;
    }
    return true;
}

bool AppOptions::ParseMeterOption(const std::vector<std::string>& arguments, std::size_t& i,
                                  SimulateCount simulateCount) {
    const std::string& given = arguments[i];
    auto fail = [this, &given](std::string message) {
        action = Action::Error;
        error = std::move(message);
        argument = given;
        return true;
    };
    if (given == "--real") {
        askedForReal = true;
        return true;
    }
    if (given == "--replay-pace") {
        replayPace = true;
        return true;
    }
    for (auto [name, file] : {std::pair{std::string("--trace"), &traceFile},
                              std::pair{std::string("--replay"), &replayFile}}) {
        if (given != name && !given.starts_with(name + "=")) {
            continue;
        }
        if (given != name) {
            *file = given.substr(name.size() + 1);
        } else if (i + 1 < arguments.size()) {
            *file = arguments[++i];
        } else {
            file->clear();
        }
        if (file->empty()) {
            return fail(name + " needs a file name");
        }
        return true;
    }
    if (given == "--usb-id" || given.starts_with("--usb-id=")) {
        std::string id;
        if (given != "--usb-id") {
            id = given.substr(sizeof("--usb-id=") - 1);
        } else if (i + 1 < arguments.size()) {
            id = arguments[++i];
        }
        if (!MatchList::ParseId(id)) {
            return fail("--usb-id takes a vendor:product id such as 1234:abcd, not '" + id + "'");
        }
        usbIds.push_back(id);
        askedForReal = true;
        return true;
    }
    std::string count;
    if (given == "--simulate") {
        simulatedMeters = 1;
        // An optional count may follow as the next given.
        if (simulateCount == SimulateCount::JoinedOrNext && i + 1 < arguments.size() &&
            !arguments[i + 1].empty() && arguments[i + 1][0] != '-') {
            count = arguments[++i];
        } else {
            return true;
        }
    } else if (given.starts_with("--simulate=")) {
        count = given.substr(sizeof("--simulate=") - 1);
    } else {
        return false;
    }
    const std::optional<int> value = ScanInt(count);
    if (!value || Format("%d", *value) != count || *value < 1 || *value > CDeviceLink::kMaxMeters) {
        return fail(Format("--simulate takes a count from 1 to %d, not '%s'",
                           CDeviceLink::kMaxMeters, count.c_str()));
    }
    simulatedMeters = *value;
    return true;
}

void AppOptions::SettleMeters() {
    realMeters = simulatedMeters == 0 || askedForReal;
}

std::size_t AppOptions::QtOptionLength(const std::vector<std::string>& arguments, std::size_t i) {
    std::string_view argument(arguments[i]);
    if (argument.size() < 2 || argument[0] != '-') {
        return 0;
    }
    // Qt reads "--name" as "-name".
    argument.remove_prefix(argument.starts_with("--") ? 2 : 1);
    // The options QGuiApplication, QApplication and the X11 platform take
    // out of the command line, with the value that follows them ...
    static constexpr std::array<std::string_view, 16> kWithValue = {
        "platform",      "platformpluginpath",
        "platformtheme", "qwindowgeometry",
        "geometry",      "qwindowtitle",
        "title",         "qwindowicon",
        "icon",          "plugin",
        "session",       "style",
        "stylesheet",    "display",
        "name",          "visual"};
    // ... on their own ...
    static constexpr std::array<std::string_view, 7> kFlags = {
        "reverse", "testability", "widgetcount", "sync", "nograb", "dograb", "cmap"};
    // ... and the only ones that take "=value".
    static constexpr std::array<std::string_view, 3> kWithEquals = {
        "style=", "stylesheet=", "qmljsdebugger="};
    auto in = [argument](const auto& names) {
        return std::find(names.begin(), names.end(), argument) != names.end();
    };
    if (in(kWithValue)) {
        // Qt takes the value whatever it looks like; a missing one is its
        // own business.
        return i + 1 < arguments.size() ? 2 : 1;
    }
    if (in(kFlags)) {
        return 1;
    }
    for (const std::string_view prefix : kWithEquals) {
        if (argument.starts_with(prefix)) {
            return 1;
        }
    }
    return 0;
}

std::string AppOptions::MeterOptionsHelp() {
    return "  --simulate[=N]      list N simulated meters (1 to 15, default 1) instead of\n"
           "                      real ones, with probes of the families KV, RM and ZN in turn\n"
           "  --real              list the real meters as well as the simulated ones\n"
           "  --usb-id VVVV:PPPP  also take USB devices of this vendor:product id for\n"
           "                      meters (repeatable; see meters.conf for the lasting list)\n" +
           TraceHelp();
}

std::string AppOptions::TraceHelp() {
    return "  --trace FILE        record every request to the meters and its answer into FILE\n"
           "                      (JSON Lines, capped at 50 MB), for a bug report\n"
           "  --replay FILE       play a trace back in place of the meters, as fast as asked\n"
           "  --replay-pace       play it back at the pace it was recorded\n";
}

std::string AppOptions::BenchHelp() {
    return "  --bench             open the bench view beside the window: every meter at a\n"
           "                      glance, in large digits\n";
}

std::string AppOptions::HelpText(const std::string& program, Host host) {
    if (host == Host::Windows) {
        return "Usage: " + program +
               " [--simulate[=N]] [--real] [--bench] [--scpi [ADDR:]PORT [--allow PREFIX,...]]\n" +
               std::string(program.size() + 8, ' ') +
               "[--trace FILE] [--replay FILE [--replay-pace]]\n"
               "Read-out program of a USB laser power meter.\n"
               "\n"
               "  --simulate[=N]      list N simulated meters (1 to 15, default 1) instead of\n"
               "                      real ones, with probes of the families KV, RM and ZN in "
               "turn\n"
               "  --real              list the real meters as well as the simulated ones\n" +
               TraceHelp() + ScpiOptions::Help() + BenchHelp() +
               "  --help              show this text and exit\n"
               "  --version           show the version and exit\n";
    }
    return "Usage: " + program +
           " [--simulate[=N]] [--real] [--usb-id VVVV:PPPP]... [--list-usb] [--bench]\n" +
           std::string(program.size() + 8, ' ') + "[--scpi [ADDR:]PORT [--allow PREFIX,...]]\n" +
           std::string(program.size() + 8, ' ') +
           "[--trace FILE] [--replay FILE [--replay-pace]]\n" +
           "Read-out program of a USB laser power meter.\n"
           "\n" +
           MeterOptionsHelp() + ScpiOptions::Help() +
           "  --list-usb          list every USB device plugged in (ids, makers, products,\n"
           "                      places; those on the match list marked) and exit\n" +
           BenchHelp() +
           "  --help              show this text and exit\n"
           "  --version           show the version and exit\n";
}

} // namespace zelmora

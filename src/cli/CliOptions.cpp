#include "cli/CliOptions.h"

#include "cli/ExitCode.h"
#include "frontend/MeterIds.h"
#include "util/TextFormat.h"

#include <array>
#include <optional>
#include <string_view>

namespace zelmora {

namespace {

using Command = CliOptions::Command;

// Which commands take an option.
enum CommandMask : unsigned {
    kList = 1,
    kRead = 2,
    kLog = 4,
    kServe = 8,
    kReport = 16,
    kTraceToPcap = 32,
};

unsigned MaskOf(Command command) {
    switch (command) {
    case Command::List:
        return kList;
    case Command::Read:
        return kRead;
    case Command::Log:
        return kLog;
    case Command::Serve:
        return kServe;
    case Command::Report:
        return kReport;
    case Command::TraceToPcap:
        return kTraceToPcap;
    default:
        return 0;
    }
}

// The options of zelmora-cli's own, beside the run settings and the meter
// options: switches, and options with a value.
struct Option {
    std::string_view name;
    unsigned commands = 0;
    bool CliOptions::*flag = nullptr;
    // Stores the value; an error text when it is not one.
    std::string (*store)(CliOptions& options, const std::string& value) = nullptr;
};

// The largest queue of records for a broker that is away: some 3 GB.
constexpr long long kMaxMqttQueue = 10'000'000;

// Stores a value that names something (a file, a user): any text but ''.
std::string StoreName(std::string& field, const std::string& value, const char* what) {
    field = value;
    return value.empty() ? Format("takes %s, not ''", what) : std::string();
}

const std::array<Option, 16> kOptions{{
    {"json", kList | kRead, &CliOptions::json},
    {"all-usb", kList, &CliOptions::allUsb},
    {"all", kLog | kServe, &CliOptions::all},
    {"scpi", kServe, nullptr,
     [](CliOptions& o, const std::string& value) { return o.scpi.SetListen(value); }},
    {"allow", kServe, nullptr,
     [](CliOptions& o, const std::string& value) { return o.scpi.AddAllowed(value); }},
    {"append", kLog, &CliOptions::append},
    {"reconnect", kLog, &CliOptions::reconnect},
    {"quiet", kLog | kServe, &CliOptions::quiet},
    {"output", kLog | kReport | kTraceToPcap, nullptr,
     [](CliOptions& o, const std::string& value) {
         o.outputGiven = true;
         return StoreName(o.output, value, "a file name or -");
     }},
    {"mqtt", kLog, nullptr,
     [](CliOptions& o, const std::string& value) {
         BrokerAddress address;
         std::string problem = ParseBrokerAddress(value, address);
         o.mqtt = address;
         return problem;
     }},
    {"mqtt-topic", kLog, nullptr,
     [](CliOptions& o, const std::string& value) {
         o.mqttTopic = value;
         const std::string problem = CMqttSink::CheckTopic(value);
         return problem.empty() ? problem
                                : "takes a topic such as lab/bench3, but '" +
                                      PrintableExcerpt(value, 80) + "' " + problem;
     }},
    {"mqtt-cafile", kLog, nullptr,
     [](CliOptions& o, const std::string& value) {
         return StoreName(o.mqttCaFile, value, "a file name");
     }},
    {"mqtt-user", kLog, nullptr,
     [](CliOptions& o, const std::string& value) {
         return StoreName(o.mqttUser, value, "a user name");
     }},
    {"mqtt-password-file", kLog, nullptr,
     [](CliOptions& o, const std::string& value) {
         return StoreName(o.mqttPasswordFile, value, "a file name");
     }},
    {"mqtt-queue", kLog, nullptr,
     [](CliOptions& o, const std::string& value) {
         std::size_t end = 0;
         const auto number = ScanInt(value, &end);
         if (!number || end != value.size() || value[0] < '0' || value[0] > '9' || *number < 1 ||
             *number > kMaxMqttQueue) {
             return Format("takes a number of records from 1 to %lld, not '%s'", kMaxMqttQueue,
                           PrintableExcerpt(value, 40).c_str());
         }
         o.mqttQueue = static_cast<std::size_t>(*number);
         return std::string();
     }},
    {"format", kLog, nullptr,
     [](CliOptions& o, const std::string& value) {
         const auto format = ParseFormat(value);
         if (!format) {
             return "takes csv or jsonl, not '" + value + "'";
         }
         o.format = *format;
         return std::string();
     }},
}};

// The commands each run setting belongs to: the unit to read and log, the
// rest to log.
unsigned CommandsOf(const RunSetting& setting) {
    if (setting.name == "interval" || setting.name == "duration") {
        return kLog | kServe;
    }
    return setting.name == "unit" ? (kRead | kLog) : kLog;
}

std::string_view CommandName(Command command) {
    switch (command) {
    case Command::List:
        return "list";
    case Command::Read:
        return "read";
    case Command::Log:
        return "log";
    case Command::Serve:
        return "serve";
    case Command::Report:
        return "report";
    case Command::TraceToPcap:
        return "trace-to-pcap";
    default:
        return "";
    }
}

std::optional<Command> ParseCommand(std::string_view word) {
    if (word == "list") {
        return Command::List;
    }
    if (word == "read") {
        return Command::Read;
    }
    if (word == "log") {
        return Command::Log;
    }
    if (word == "serve") {
        return Command::Serve;
    }
    if (word == "report") {
        return Command::Report;
    }
    if (word == "trace-to-pcap") {
        return Command::TraceToPcap;
    }
    if (word == "help") {
        return Command::Help;
    }
    return std::nullopt;
}

std::string CommandsText(unsigned commands) {
    std::string text;
    for (const Command command : {Command::List, Command::Read, Command::Log, Command::Serve,
                                  Command::Report, Command::TraceToPcap}) {
        if ((commands & MaskOf(command)) != 0) {
            text += text.empty() ? "" : " and ";
            text += CommandName(command);
        }
    }
    return text;
}

} // namespace

CliOptions CliOptions::Parse(const std::vector<std::string>& arguments) {
    CliOptions options;
    // An option is checked against its command once the command is known,
    // so that options may come before it.
    struct Given {
        std::string option;
        unsigned commands;
    };
    std::vector<Given> given;
    std::vector<std::string> words;
    auto fail = [&options](std::string message) {
        options.error = std::move(message);
        return options;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            options.command = Command::Help;
            return options;
        }
        if (argument == "--version") {
            options.command = Command::Version;
            return options;
        }
        if (argument.size() < 2 || argument[0] != '-') {
            words.push_back(argument);
            continue;
        }
        // Meter ids are arguments too, so the count must be joined; a
        // short number after --simulate is a count written the window's
        // way, not a meter id.
        if (argument == "--simulate" && i + 1 < arguments.size() && arguments[i + 1].size() < 9 &&
            !arguments[i + 1].empty() &&
            arguments[i + 1].find_first_not_of("0123456789") == std::string::npos) {
            return fail("write the count of --simulate joined to it: --simulate=" +
                        arguments[i + 1]);
        }
        if (options.meters.ParseMeterOption(arguments, i, AppOptions::SimulateCount::Joined)) {
            if (options.meters.action == AppOptions::Action::Error) {
                return fail(options.meters.error);
            }
            continue;
        }
        // "-o FILE" is "--output FILE".
        std::string name = argument == "-o" ? "output" : argument.substr(2);
        std::optional<std::string> value;
        if (argument[1] != '-' && argument != "-o") {
            return fail("unknown option '" + argument + "'");
        }
        if (const std::size_t equals = name.find('='); equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        if (name == "mqtt-password") {
            // A password on the command line is in every process listing
            // and in the shell's history.
            return fail("--mqtt-password does not exist: put the password in the environment "
                        "variable ZELMORA_MQTT_PASSWORD or in a file named by "
                        "--mqtt-password-file");
        }
        const RunSetting* setting = FindRunSetting(name);
        const Option* option = nullptr;
        for (const Option& candidate : kOptions) {
            if (candidate.name == name) {
                option = &candidate;
            }
        }
        if (setting == nullptr && option == nullptr) {
            return fail("unknown option '" + argument + "'");
        }
        const std::string shown = argument == "-o" ? "-o" : "--" + name;
        if (setting != nullptr || option->flag == nullptr) {
            if (!value) {
                if (i + 1 >= arguments.size()) {
                    return fail(shown + " needs a value");
                }
                value = arguments[++i];
            }
        } else if (value) {
            return fail(shown + " takes no value");
        }
        std::string problem;
        if (setting != nullptr) {
            problem = ApplyRunSetting(*setting, *value, options.run);
            options.unitGiven = options.unitGiven || name == "unit";
            given.push_back({shown, CommandsOf(*setting)});
        } else {
            if (option->flag != nullptr) {
                options.*(option->flag) = true;
            } else {
                problem = option->store(options, *value);
            }
            given.push_back({shown, option->commands});
        }
        if (!problem.empty()) {
            return fail(shown + " " + problem);
        }
    }
    options.meters.SettleMeters();

    if (words.empty()) {
        return fail("no command given");
    }
    const std::optional<Command> command = ParseCommand(words.front());
    if (!command) {
        return fail("unknown command '" + words.front() + "'");
    }
    options.command = *command;
    if (options.command == Command::Help) {
        return options;
    }
    for (const Given& option : given) {
        if ((option.commands & MaskOf(options.command)) == 0) {
            return fail(option.option + " is an option of " + CommandsText(option.commands) +
                        ", not of " + std::string(CommandName(options.command)));
        }
    }
    if (options.command == Command::TraceToPcap) {
        if (words.size() != 2) {
            return fail("trace-to-pcap takes one trace file");
        }
        if (!options.outputGiven || options.output == "-") {
            // A capture is binary: never onto a terminal.
            return fail("trace-to-pcap needs --output FILE");
        }
        options.tracePath = words[1];
        return options;
    }
    options.run.meters.assign(words.begin() + 1, words.end());
    const std::size_t ids = options.run.meters.size();
    if (options.command == Command::Serve) {
        if (options.scpi.port == 0) {
            return fail("serve needs --scpi [ADDRESS:]PORT");
        }
        for (std::string& id : options.run.meters) {
            int port = 0;
            if (const std::size_t equals = id.find('='); equals != std::string::npos) {
                const auto number = ScpiOptions::ParsePort(std::string_view(id).substr(equals + 1));
                if (!number) {
                    return fail("serve takes ID or ID=PORT (PORT 1 to 65535), not '" +
                                PrintableExcerpt(id, 60) + "'");
                }
                port = *number;
                id.resize(equals);
            }
            options.meterPorts.push_back(port);
        }
    }
    if (options.command == Command::List && ids > 0) {
        return fail("list takes no meter id");
    }
    if (options.command == Command::Report && ids > 0) {
        return fail("report takes no meter id");
    }
    if (options.command == Command::Read && ids > 1) {
        return fail("read takes one meter id");
    }
    if (std::string problem = CheckMeterIds(options.run.meters); !problem.empty()) {
        return fail(problem);
    }
    if (options.all && ids > 0) {
        return fail("--all and meter ids exclude each other");
    }
    if (options.append && options.output == "-") {
        return fail("--append needs --output FILE");
    }
    if (!options.mqtt) {
        for (const Given& option : given) {
            if (option.option.starts_with("--mqtt-")) {
                return fail(option.option + " needs --mqtt");
            }
        }
    } else if (!options.mqtt->tls && !options.mqttCaFile.empty()) {
        return fail("--mqtt-cafile needs an mqtts:// broker");
    }
    if (!options.mqttPasswordFile.empty() && options.mqttUser.empty()) {
        return fail("--mqtt-password-file needs --mqtt-user");
    }
    return options;
}

std::string CliOptions::UsageText(const std::string& program) {
    const std::string indent(program.size() + 5, ' ');
    return "Usage: " + program + " list [--all-usb] [--json] [METER OPTIONS]\n" +        //
           "       " + program + " read [ID] [--json] [--unit UNIT] [METER OPTIONS]\n" + //
           "       " + program +
           " log [ID ...|--all] [--interval TIME] [--count N] [--duration TIME]\n" + //
           "       " + indent + "[--averaging N] [--output FILE|-] [--format csv|jsonl]\n" +
           "       " + indent + "[--unit UNIT] [--append] [--reconnect] [--quiet]\n" + //
           "       " + indent + "[--mqtt URL [MQTT OPTIONS]] [METER OPTIONS]\n" +      //
           "       " + program +
           " serve [ID ...|ID=PORT ...|--all] --scpi [ADDRESS:]PORT [--allow PREFIX,...]\n" +
           "       " + indent + "[--interval TIME] [--duration TIME] [METER OPTIONS]\n" + //
           "       " + program + " report [--output FILE|-] [METER OPTIONS]\n" +          //
           "       " + program + " trace-to-pcap TRACE --output FILE\n" +                 //
           "       " + program + " --help | --version\n";
}

std::string CliOptions::HelpText(const std::string& program) {
    std::string text =
        UsageText(program) +
        "Read and log the power of USB laser power meters without a window.\n"
        "\n"
        "Commands:\n"
        "  list                every meter present: id, probe, backend, port\n"
        "  list --all-usb      every USB device plugged in: id, place, whether\n"
        "                      it is on the match list and may be opened, maker\n"
        "                      and product (to find a meter to add to the list)\n"
        "  read [ID]           one sample of a meter, with its unit (the only\n"
        "                      meter present when no id is given)\n"
        "  log [ID ...|--all]  log the samples of the meters named (all of them\n"
        "                      by default), one record per sample, until the\n"
        "                      count or the duration is reached or a signal\n"
        "                      (Ctrl-C, SIGTERM) stops it\n"
        "  serve [ID ...|--all] each meter named (all by default) as a SCPI\n"
        "                      instrument on a raw TCP socket of its own\n"
        "                      (VISA TCPIP::HOST::PORT::SOCKET), until --duration\n"
        "                      is over or a signal stops it\n"
        "  report              a diagnostic report to attach to a bug report:\n"
        "                      version, system, USB library and devices, match\n"
        "                      list, the trace's last minutes, the options; the\n"
        "                      home folder is written ~ (-o FILE, or - the default)\n"
        "  trace-to-pcap TRACE a trace (--trace) as a USB packet capture (pcap,\n"
        "                      Linux usbmon) to read in a packet analyser (-o FILE)\n"
        "\n"
        "Options of log (and --unit of read):\n";
    for (const RunSetting& setting : RunSettingTable()) {
        std::string left =
            "  --" + std::string(setting.name) + " " + std::string(setting.valueName);
        left.resize(std::max<std::size_t>(left.size() + 1, 22), ' ');
        text += left + std::string(setting.help) + " (" + DescribeLimits(setting);
        text += setting.defaultText.empty() ? std::string(", no limit)")
                                            : ", default " + std::string(setting.defaultText) + ")";
        text += "\n";
    }
    text += "  -o, --output FILE   write the records (report: the report) to FILE; - (the\n"
            "                      default) is standard output\n"
            "  --format FORMAT     csv (the default) or jsonl\n"
            "  --append            add to FILE instead of replacing it\n"
            "  --reconnect         wait for a lost meter to come back and go on\n"
            "  --quiet             no progress line and no summary on standard error\n"
            "  --json              list and read: print JSON\n"
            "\n"
            "Serving meters as SCPI instruments (serve):\n"
            "  --scpi [ADDR:]PORT  the first meter on PORT, the next on PORT+1 ... (ID=PORT\n"
            "                      gives a meter its own); on 127.0.0.1 unless ADDR is given\n"
            "  --allow PREFIX,...  only addresses starting with one of these may connect\n"
            "                      (others are refused and logged); default: any\n"
            "  --interval TIME     the meters' poll period; --duration TIME ends serving\n"
            "\n"
            "Publishing every record to an MQTT broker (log"
#if defined(_WIN32)
            "; Linux only: this Windows build has no MQTT\n"
            "client, its library has no Windows build here"
#endif
            "):\n"
            "  --mqtt URL          mqtt://HOST[:PORT] (port 1883) or mqtts://HOST[:PORT]\n"
            "                      (TLS, port 8883); beside --output FILE, or instead of\n"
            "                      standard output when no --output is given\n"
            "  --mqtt-topic TOPIC  records go to TOPIC/METER-ID (default zelmora/HOSTNAME)\n"
            "  --mqtt-cafile FILE  mqtts: the CA certificates that the broker's must\n"
            "                      chain to (default: the system's)\n"
            "  --mqtt-user NAME    log in as NAME; the password comes from the first line\n"
            "                      of --mqtt-password-file FILE (which only its owner\n"
            "                      should read) or else from the environment variable\n"
            "                      ZELMORA_MQTT_PASSWORD, never from the command line\n"
            "  --mqtt-queue N      records kept while the broker is away; when full the\n"
            "                      oldest go, counted (default 100000)\n"
            "\n"
            "Meter options:\n" +
            AppOptions::MeterOptionsHelp() +
            "\n"
            "Exit status:\n";
    for (const ExitCodeMeaning& exit : kExitCodeMeanings) {
        std::string meaning(exit.meaning);
        for (std::size_t at = meaning.find('\n'); at != std::string::npos;
             at = meaning.find('\n', at + 1)) {
            meaning.insert(at + 1, "     ");
        }
        text += "  " + std::to_string(static_cast<int>(exit.code)) + "  " + meaning + "\n";
    }
    return text;
}

} // namespace zelmora

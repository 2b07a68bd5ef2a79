#include "cli/Cli.h"

#include "cli/CliOptions.h"
#include "cli/ExitCode.h"
#include "cli/LogRun.h"
#include "cli/ProgressLine.h"
#include "cli/RecordFileSink.h"
#include "frontend/DiagnosticReport.h"
#include "frontend/MeterDriver.h"
#include "meter/DeviceLink.h"
#include "meter/MeterSource.h"
#include "publish/MqttSink.h"
#include "record/JsonLinesRecordWriter.h"
#include "record/RecordText.h"
#include "scpi/ScpiService.h"
#include "share/ShareHub.h"
#include "usb/driver/TracePcap.h"
#include "usb/driver/UsbDriver.h"
#include "util/TextFormat.h"
#include "util/WholeFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#ifndef ZELMORA_VERSION
#define ZELMORA_VERSION "0"
#endif

namespace zelmora {

namespace {

using std::chrono::milliseconds;

long ProcessId() {
#if defined(_WIN32)
    return static_cast<long>(::_getpid());
#else
    return static_cast<long>(::getpid());
#endif
}

// How long read waits for a sample: a meter that does not answer holds a
// request for the transfer's time-out (10 s).
constexpr milliseconds kReadLimit(15000);

constexpr std::string_view kNoMeterHint =
    "no meter found; check that its vendor:product id is in the match list "
    "(/etc/zelmora/meters.conf, ~/.config/zelmora/meters.conf or --usb-id), that the "
    "udev rule lets you open it (list --all-usb shows every USB device with its id), or try "
    "--simulate";

// The log command writes its records to standard output, and that is the
// very terminal standard error is on: a status line redrawn in place there
// would have the records written over and into it.
bool RecordsShareTheTerminal(const CliOptions& options, const CliContext& context) {
    if (options.command != CliOptions::Command::Log || options.output != "-" ||
        (options.mqtt && !options.outputGiven) || ::isatty(context.outFd) != 1) {
        return false;
    }
    struct stat out {};
    struct stat err {};
    return ::fstat(context.outFd, &out) == 0 && ::fstat(context.errFd, &err) == 0 &&
           out.st_rdev == err.st_rdev;
}

class Command {
public:
    Command(const CliOptions& options, CliContext& context, std::optional<std::string> password)
        : m_options(options), m_context(context), m_password(std::move(password)),
          m_console(context.errFd, context.errIsTerminal && !options.quiet &&
                                       !RecordsShareTheTerminal(options, context)) {}

    int Run();

private:
    int RunCommand();
    void Say(const std::string& text) { m_console.Message(m_context.program + ": " + text); }
    void Print(const std::string& text) { WriteAll(m_context.outFd, text); }
    // The meters present, listed by a link of their own.
    std::vector<CDeviceLink::MeterListing> Scan();
    int List();
    int ListUsb();
    int Read();
    int Log();
    int Serve();
    int Report();
    int TraceToPcapFile();
    // The host's name as one topic level.
    std::string Hostname() const;
    // Every command opens its meters through these: the hub when the meters
    // are shared with the user's other processes, else nothing (the links
    // poll their meters themselves).
    std::shared_ptr<MeterSources> Sources() const;
    // A link to a meter, through the sources.
    std::unique_ptr<CDeviceLink> MakeLink(const CDeviceLink::TestTuning& tuning) const;
    // Which process of the user's polls a meter, when the meters are
    // shared; none when no process does.
    struct Owner {
        long long pid = 0;
        std::string program;
    };
    std::optional<Owner> OwnerOf(const std::string& meterId) const;

    const CliOptions& m_options;
    CliContext& m_context;
    std::optional<std::string> m_password;
    CProgressLine m_console;
    std::unique_ptr<UsbDriver> m_driver;
    // The meters shared with the user's other processes; after the driver,
    // which it polls.
    std::shared_ptr<CShareHub> m_hub;
};

std::shared_ptr<MeterSources> Command::Sources() const {
    return m_hub;
}

std::unique_ptr<CDeviceLink> Command::MakeLink(const CDeviceLink::TestTuning& tuning) const {
    if (auto sources = Sources()) {
        return std::make_unique<CDeviceLink>(*m_driver, tuning, std::move(sources));
    }
    return std::make_unique<CDeviceLink>(*m_driver, tuning);
}

std::optional<Command::Owner> Command::OwnerOf(const std::string& meterId) const {
    if (m_hub) {
        if (const auto owner = m_hub->OwnerOf(meterId)) {
            return Owner{static_cast<long long>(owner->pid), owner->program};
        }
    }
    return std::nullopt;
}

int Command::Run() {
    if (m_options.command == CliOptions::Command::Report) {
        // The report opens no meter: it lists the devices itself.
        return Report();
    }
    if (m_options.command == CliOptions::Command::TraceToPcap) {
        // A file to another file: no meter either.
        return TraceToPcapFile();
    }
    std::vector<std::string> problems;
    AppOptions meters = m_options.meters;
    meters.program = m_context.program;
    m_driver = m_context.makeDriver ? m_context.makeDriver(meters, problems)
                                    : CreateMeterDriver(meters, problems);
    for (const std::string& problem : problems) {
        Say(problem);
    }
    const int status = RunCommand();
    // A backend that could not go on (a trace that no longer matches what
    // is asked, a trace file that cannot be written) makes the run a
    // failure, whatever the command made of the meters it lost.
    if (const std::string fault = m_driver->Fault(); !fault.empty()) {
        if (std::find(problems.begin(), problems.end(), fault) == problems.end()) {
            Say(fault);
        }
        return status == kExitOk ? kExitFailure : status;
    }
    return status;
}

int Command::RunCommand() {
    if (m_context.share) {
        CShareHub::Settings settings = CShareHub::FromEnvironment(m_context.program);
        settings.pollSpeedUp = m_context.pollSpeedUp;
        m_hub = std::make_shared<CShareHub>(*m_driver, std::move(settings));
    }
    switch (m_options.command) {
    case CliOptions::Command::List:
        return List();
    case CliOptions::Command::Read:
        return Read();
    case CliOptions::Command::Log:
        return Log();
    case CliOptions::Command::Serve:
        return Serve();
    default:
        return kExitUsage;
    }
}

std::vector<CDeviceLink::MeterListing> Command::Scan() {
    // Through the sources: a meter another process polls is listed from its
    // owner, and is sent no request that would cut into the owner's.
    const std::unique_ptr<CDeviceLink> scanner = MakeLink({.pollSpeedUp = m_context.pollSpeedUp});
    scanner->Rescan();
    return scanner->GetMeterListing();
}

int Command::ListUsb() {
    std::vector<std::string> problems;
    const auto devices = ListAllUsbDevices(m_options.meters, problems);
    for (const std::string& problem : problems) {
        Say(problem);
    }
    if (!devices) {
        Say(kNoUsbListing);
        return kExitFailure;
    }
    if (!m_options.json) {
        Print(FormatUsbListing(*devices));
        return kExitOk;
    }
    std::string text = "[";
    for (const UsbDeviceInfo& device : *devices) {
        text += text.size() > 1 ? ",\n {" : "{";
        const std::string id = MatchList::FormatId(device.id);
        const std::string place = PlaceOf(device);
        const std::string access = device.access == DeviceAccess::Opened         ? "yes"
                                   : device.access == DeviceAccess::NoPermission ? "no_permission"
                                                                                 : "no";
        const std::pair<const char*, const std::string*> fields[] = {
            {"id", &id},
            {"place", &place},
            {"may_open", &access},
            {"manufacturer", &device.manufacturer},
            {"product", &device.product}};
        for (const auto& [key, value] : fields) {
            AppendJsonString(text, key);
            text += ":";
            AppendJsonString(text, *value);
            text += ",";
        }
        text += device.listed ? "\"listed\":true}" : "\"listed\":false}";
    }
    text += "]\n";
    Print(text);
    return kExitOk;
}

int Command::List() {
    if (m_options.allUsb) {
        return ListUsb();
    }
    const auto meters = Scan();
    if (meters.empty()) {
        Say(std::string(kNoMeterHint));
    }
    std::string text;
    if (m_options.json) {
        text = "[";
        for (const auto& meter : meters) {
            const MeterPlace place = PlaceOfMeter(meter.path);
            text += text.size() > 1 ? ",\n {" : "{";
            const std::pair<const char*, const std::string*> fields[] = {
                {"id", &meter.id},
                {"probe_family", &meter.probeFamily},
                {"probe_model", &meter.probeModel},
                {"backend", &place.backend},
                {"port", &place.port},
                {"path", &meter.path}};
            for (const auto& [key, value] : fields) {
                if (key != fields[0].first) {
                    text += ",";
                }
                AppendJsonString(text, key);
                text += ":";
                AppendJsonString(text, *value);
            }
            if (Sources()) {
                text += ",\"owner\":";
                if (const auto owner = OwnerOf(meter.id)) {
                    text += Format("{\"pid\":%lld,\"program\":", owner->pid);
                    AppendJsonString(text, owner->program);
                    text += "}";
                } else {
                    text += "null";
                }
            }
            text += "}";
        }
        text += "]\n";
    } else if (!meters.empty()) {
        text = Sources() ? "ID         FAMILY  MODEL  BACKEND    PORT  OWNER\n"
                         : "ID         FAMILY  MODEL  BACKEND    PORT\n";
        for (const auto& meter : meters) {
            const MeterPlace place = PlaceOfMeter(meter.path);
            auto column = [](std::string value, std::size_t width) {
                value.resize(std::max(width, value.size() + 1), ' ');
                return value;
            };
            std::string line = column(meter.id, 11) + column(meter.probeFamily, 8) +
                               column(meter.probeModel, 7) + column(place.backend, 11);
            if (Sources()) {
                // Who polls the meter: a process of this user's (its pid and
                // program), or none.
                const auto owner = OwnerOf(meter.id);
                line += column(place.port, 6) +
                        (owner ? Format("pid %lld (%s)", owner->pid, owner->program.c_str())
                               : std::string("-"));
            } else {
                line += place.port;
            }
            text += line;
            text += "\n";
        }
    }
    Print(text);
    return kExitOk;
}

int Command::Read() {
    const auto meters = Scan();
    std::string id;
    if (!m_options.run.meters.empty()) {
        id = m_options.run.meters.front();
        if (std::none_of(meters.begin(), meters.end(),
                         [&id](const auto& meter) { return meter.id == id; })) {
            Say("no meter " + id + " is present ('list' shows the meters present)");
            return kExitFailure;
        }
    } else if (meters.size() == 1) {
        id = meters.front().id;
    } else {
        Say(meters.empty() ? std::string(kNoMeterHint)
                           : "several meters are present: name the one to read");
        return kExitFailure;
    }
    const CDeviceLink::TestTuning tuning{.pollSpeedUp = m_context.pollSpeedUp};
    const std::unique_ptr<CDeviceLink> shared = MakeLink(tuning);
    CDeviceLink& link = *shared;
    link.SetPollPeriod(CDeviceLink::kMinPollPeriodMs);
    link.Start(id);
    if (!link.IsRunning()) {
        const std::string problem = link.GetStartProblem();
        Say("meter " + id + " does not start" + (problem.empty() ? "" : ": " + problem));
        return kExitFailure;
    }
    CStopRequest never;
    StopSignal& stop = m_context.stop != nullptr ? *m_context.stop : never;
    const auto until = std::chrono::steady_clock::now() + kReadLimit;
    while (!link.HasNewSample() && link.IsRunning() && std::chrono::steady_clock::now() < until) {
        if (stop.WaitFor(milliseconds(10))) {
            return kExitOk;
        }
    }
    const std::vector<MeterSample> samples = link.TakeSamples();
    link.StopMeter();
    if (samples.empty()) {
        Say("meter " + id + " sent no sample");
        return kExitFailure;
    }
    const MeterSample& sample = samples.front();
    const Record record = MakeRecord(sample, id, m_options.run.unit);
    std::string text;
    if (m_options.json) {
        CJsonLinesRecordWriter(m_options.run.unit).AppendRecord(text, record);
    } else if (record.status == RecordStatus::NoConversion ||
               record.status == RecordStatus::OverRange) {
        text = std::string(StatusName(record.status)) + Format(" (range %d)\n", sample.range);
    } else if (m_options.unitGiven) {
        AppendNumber(text, *record.power);
        text += " " + std::string(UnitName(m_options.run.unit)) + "\n";
    } else {
        // The window's text, its unit set apart: "12.24 mW".
        text = sample.powerText;
        const auto unit = std::find_if(text.begin(), text.end(), [](char c) {
            return std::isalpha(static_cast<unsigned char>(c));
        });
        text.insert(unit, ' ');
        text += "\n";
    }
    Print(text);
    return kExitOk;
}

int Command::Log() {
    const RunSettings& run = m_options.run;
    const auto present = Scan();
    std::vector<std::string> ids = run.meters;
    if (ids.empty()) {
        for (const auto& meter : present) {
            ids.push_back(meter.id);
        }
        if (ids.empty()) {
            Say(std::string(kNoMeterHint));
            return kExitFailure;
        }
    }
    for (const std::string& id : ids) {
        if (std::none_of(present.begin(), present.end(),
                         [&id](const auto& meter) { return meter.id == id; })) {
            Say("no meter " + id + " is present ('list' shows the meters present)");
            return kExitFailure;
        }
    }

    CStopRequest never;
    StopSignal& stop = m_context.stop != nullptr ? *m_context.stop : never;
    // A stop before the run begins leaves the output as it was.
    if (stop.WaitFor(milliseconds(0))) {
        Say("stopped before the run began; nothing written");
        return kExitOk;
    }

    // The broker first: one that cannot be reached or refuses us ends the
    // run before a file is emptied or a meter started.
    std::unique_ptr<CMqttSink> mqtt;
    std::vector<RecordSink*> sinks;
    std::vector<const PublishSink*> publishers;
    if (m_options.mqtt) {
        mqtt = std::make_unique<CMqttSink>(MqttSettings{
            .broker = *m_options.mqtt,
            .topic = m_options.mqttTopic.empty() ? "zelmora/" + Hostname() : m_options.mqttTopic,
            .caFile = m_options.mqttCaFile,
            .user = m_options.mqttUser,
            .password = m_password,
            .clientId = Format("%s-%s-%ld", m_context.program.c_str(), Hostname().c_str(),
                               static_cast<long>(ProcessId())),
            .queueCapacity = m_options.mqttQueue,
            .unit = run.unit});
        if (!mqtt->Connect()) {
            Say("cannot publish to " + mqtt->Name() + ": " + mqtt->Error());
            return kExitBrokerFailed;
        }
    }
    // With --mqtt the records go to standard output only when asked to.
    std::unique_ptr<CRecordFileSink> file;
    if (!mqtt || m_options.outputGiven) {
        file = std::make_unique<CRecordFileSink>(m_options.format, run.unit);
        if (!file->Open(m_options.output, m_context.outFd, m_options.append)) {
            Say("cannot open " + m_options.output + ": " + file->Error());
            return kExitWriteFailed;
        }
        sinks.push_back(file.get());
    }
    if (mqtt) {
        sinks.push_back(mqtt.get());
        publishers.push_back(mqtt.get());
    }
    LogRunSettings settings{run,
                            m_options.reconnect,
                            m_context.program,
                            ZELMORA_VERSION,
                            m_context.pollSpeedUp,
                            m_context.queueCapacity,
                            Sources()};
    CLogRun logRun(*m_driver, std::move(settings), sinks, stop, m_console, publishers);
    if (!logRun.Start(ids)) {
        return kExitFailure;
    }
    const LogRunResult result = logRun.Run();
    if (result.failedSink != nullptr) {
        // A reader that has all it wants (`| head`) ends the run quietly.
        if (result.failedSink->ReceiverGone()) {
            return kExitOk;
        }
        Say(Format("cannot write to %s: %s; %llu records written", file->Name().c_str(),
                   result.failedSink->Error().c_str(),
                   static_cast<unsigned long long>(file->RecordsWritten())));
        return kExitWriteFailed;
    }
    if (!m_options.quiet) {
        const double seconds =
            static_cast<double>(std::chrono::duration_cast<milliseconds>(result.elapsed).count()) /
            1000;
        std::string to = file ? file->Name() : "";
        if (mqtt) {
            const PublishCounts counts = mqtt->Counts();
            to += (file ? " and " : "") + mqtt->Name() +
                  Format(" (%llu delivered, %llu dropped",
                         static_cast<unsigned long long>(counts.delivered),
                         static_cast<unsigned long long>(counts.dropped));
            if (counts.undelivered > 0) {
                to += Format(", %llu not delivered: %s",
                             static_cast<unsigned long long>(counts.undelivered),
                             mqtt->Error().c_str());
            }
            to += ")";
        }
        std::string summary = Format("%s%llu records from %llu meter%s in %.1f s to %s",
                                     result.interrupted ? "stopped: " : "",
                                     static_cast<unsigned long long>(result.records),
                                     static_cast<unsigned long long>(result.meters),
                                     result.meters == 1 ? "" : "s", seconds, to.c_str());
        if (result.lostSamples > 0) {
            summary +=
                Format("; %llu samples lost", static_cast<unsigned long long>(result.lostSamples));
        }
        for (const std::string& id : result.lostMeters) {
            summary += "; meter " + id + " lost";
        }
        Say(summary);
    }
    if (!result.lostMeters.empty()) {
        return kExitMeterLost;
    }
    // A script that reads only the broker must learn that records are
    // missing there, though the file (if any) has them all.
    return mqtt && mqtt->Counts().undelivered > 0 ? kExitUndelivered : kExitOk;
}

int Command::Serve() {
    const RunSettings& run = m_options.run;
    const auto present = Scan();
    std::vector<std::string> ids = run.meters;
    std::vector<int> ports = m_options.meterPorts;
    if (ids.empty()) {
        for (const auto& meter : present) {
            ids.push_back(meter.id);
            ports.push_back(0);
        }
        if (ids.empty()) {
            Say(std::string(kNoMeterHint));
            return kExitFailure;
        }
    }
    std::vector<CScpiService::Meter> meters;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::string& id = ids[i];
        if (std::none_of(present.begin(), present.end(),
                         [&id](const auto& meter) { return meter.id == id; })) {
            Say("no meter " + id + " is present ('list' shows the meters present)");
            return kExitFailure;
        }
        meters.push_back({id, ports[i]});
    }
    // Through the sources, as log opens its meters: serve owns a meter no
    // other process polls and serves it to them too, or attaches to its
    // owner.
    CScpiService service(
        *m_driver, Sources(),
        CScpiService::Settings{.server = ScpiServerSettings{.address = m_options.scpi.address,
                                                            .allow = m_options.scpi.allow},
                               .firstPort = m_options.scpi.port,
                               .program = m_context.program,
                               .version = ZELMORA_VERSION,
                               .pollPeriodMs = run.intervalMs,
                               .tuning =
                                   CDeviceLink::TestTuning{.pollSpeedUp = m_context.pollSpeedUp}},
        [this](const std::string& line) { Say(line); });
    std::string problem;
    switch (service.Start(meters, problem)) {
    case CScpiService::Result::Ok:
        break;
    case CScpiService::Result::Failed:
        Say(problem);
        return kExitFailure;
    case CScpiService::Result::NoPortLeft:
        Say(problem);
        return kExitUsage;
    }
    for (const std::string& line : service.ResourceLines()) {
        Say(line);
    }
    CStopRequest never;
    StopSignal& stop = m_context.stop != nullptr ? *m_context.stop : never;
    const auto until = run.durationMs
                           ? std::chrono::steady_clock::now() + milliseconds(*run.durationMs)
                           : std::chrono::steady_clock::time_point::max();
    while (std::chrono::steady_clock::now() < until) {
        if (stop.WaitFor(milliseconds(100))) {
            break;
        }
    }
    service.Stop();
    if (!m_options.quiet) {
        Say(Format("served %llu meter%s", static_cast<unsigned long long>(ids.size()),
                   ids.size() == 1 ? "" : "s"));
    }
    return kExitOk;
}

int Command::Report() {
    DiagnosticReportRequest request;
    request.program = m_context.program;
    request.version = ZELMORA_VERSION;
    request.options = m_options.meters;
    request.settingsTitle = "Options of report";
    request.settings = {{"output", m_options.output}};
    const std::string report = BuildDiagnosticReport(request);
    if (m_options.output == "-") {
        if (!WriteAll(m_context.outFd, report)) {
            Say("the report could not be written to standard output");
            return kExitWriteFailed;
        }
        return kExitOk;
    }
    std::string error;
    if (!WriteWholeFile(m_options.output, report, error)) {
        Say("cannot write the report to " + m_options.output + ": " + error);
        return kExitWriteFailed;
    }
    Say("wrote the diagnostic report to " + m_options.output);
    return kExitOk;
}

int Command::TraceToPcapFile() {
    std::string error;
    const std::optional<Trace> trace = ReadTraceFile(m_options.tracePath, error);
    if (!trace) {
        Say("cannot read the trace " + m_options.tracePath + ": " + error);
        return kExitFailure;
    }
    std::size_t packets = 0;
    const std::vector<std::uint8_t> capture = TraceToPcap(*trace, &packets);
    const std::string_view bytes(reinterpret_cast<const char*>(capture.data()), capture.size());
    if (!WriteWholeFile(m_options.output, bytes, error)) {
        Say("cannot write the capture to " + m_options.output + ": " + error);
        return kExitWriteFailed;
    }
    Say(Format("wrote %llu USB packets to %s", static_cast<unsigned long long>(packets),
               m_options.output.c_str()));
    return kExitOk;
}

std::string Command::Hostname() const {
    if (!m_context.hostname.empty()) {
        return m_context.hostname;
    }
    char name[256] = {};
#if defined(_WIN32)
    DWORD size = sizeof name - 1;
    if (!GetComputerNameA(name, &size) || name[0] == '\0') {
        return "localhost";
    }
#else
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
#endif
    return CMqttSink::TopicLevel(name);
}

// The password of --mqtt-user: the first line of --mqtt-password-file, or
// else the environment's (the file wins when both give one). Empty with
// `error` set when the file cannot be read or holds no password; what the
// operator should know but need not stop for goes to `warnings`.
std::optional<std::string> MqttPassword(const CliOptions& options, const CliContext& context,
                                        std::string& error, std::vector<std::string>& warnings) {
    if (!options.mqtt || options.mqttUser.empty()) {
        return std::nullopt;
    }
    if (options.mqttPasswordFile.empty()) {
        constexpr const char* kVariable = "ZELMORA_MQTT_PASSWORD";
        std::optional<std::string> password;
        if (context.environment) {
            password = context.environment(kVariable);
        } else if (const char* value = std::getenv(kVariable); value != nullptr) {
            password = value;
        }
        if (!password || password->empty()) {
            warnings.push_back("--mqtt-user " + options.mqttUser + " has no password (" +
                               kVariable + (password ? " is empty" : " is not set") +
                               " and no --mqtt-password-file is given): logging in without one");
        }
        return password;
    }
    const std::string& path = options.mqttPasswordFile;
    std::ifstream file(path, std::ios::binary);
    std::string line;
    if (!file || (!std::getline(file, line) && !file.eof())) {
        error = "cannot read --mqtt-password-file " + path + ": " +
                std::error_code(errno, std::generic_category()).message();
        return std::nullopt;
    }
    if (line.ends_with('\r')) {
        line.pop_back();
    }
    if (line.empty()) {
        error = "--mqtt-password-file " + path + " is empty: its first line is the password";
        return std::nullopt;
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && (status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        warnings.push_back(Format("--mqtt-password-file %s may be read by other users (mode "
                                  "%04o); chmod 600 it",
                                  path.c_str(), static_cast<unsigned>(status.st_mode & 07777)));
    }
    return line;
}

} // namespace

int RunCli(const std::vector<std::string>& arguments, CliContext& context) {
    const CliOptions options = CliOptions::Parse(arguments);
    switch (options.command) {
    case CliOptions::Command::Help:
        WriteAll(context.outFd, CliOptions::HelpText(context.program));
        return kExitOk;
    case CliOptions::Command::Version:
        WriteAll(context.outFd, context.program + " " + ZELMORA_VERSION + "\n");
        return kExitOk;
    default:
        break;
    }
    std::string error = options.error;
    if (error.empty() && options.command == CliOptions::Command::Log && options.append) {
        error = CRecordFileSink::CheckAppendable(options.output, options.format, options.run.unit);
    }
    if (error.empty() && !options.mqttCaFile.empty() &&
        !std::ifstream(options.mqttCaFile, std::ios::binary)) {
        error = "cannot read --mqtt-cafile " + options.mqttCaFile + ": " +
                std::error_code(errno, std::generic_category()).message();
    }
    std::optional<std::string> password;
    std::vector<std::string> warnings;
    if (error.empty()) {
        password = MqttPassword(options, context, error, warnings);
    }
    if (!error.empty()) {
        WriteAll(context.errFd, context.program + ": " + error + "\n" +
                                    CliOptions::UsageText(context.program) + "Try '" +
                                    context.program + " --help' for more.\n");
        return kExitUsage;
    }
    for (const std::string& warning : warnings) {
        WriteAll(context.errFd, context.program + ": " + warning + "\n");
    }
    Command command(options, context, std::move(password));
    return command.Run();
}

} // namespace zelmora

#pragma once

// The command line of zelmora-cli:
//
//   zelmora-cli list [--all-usb] [--json]
//   zelmora-cli read [ID] [--json] [--unit UNIT]
//   zelmora-cli log [ID ...|--all] [--interval TIME] [--count N]
//                   [--duration TIME] [--averaging N] [--output FILE|-]
//                   [--format csv|jsonl] [--unit UNIT] [--append]
//                   [--reconnect] [--quiet] [--mqtt URL [--mqtt-topic TOPIC]
//                   [--mqtt-cafile FILE] [--mqtt-user NAME]
//                   [--mqtt-password-file FILE] [--mqtt-queue N]]
//   zelmora-cli serve [ID ...|ID=PORT ...|--all] --scpi [ADDR:]PORT
//                   [--allow PREFIX,...] [--interval TIME] [--duration TIME]
//   zelmora-cli report [--output FILE|-]
//   zelmora-cli trace-to-pcap TRACE --output FILE
//
// each with the window's meter options (--simulate=N, --real, --usb-id).
// Options take their value as the next argument or after '='. Everything
// is checked here, before any meter is touched.

#include "frontend/AppOptions.h"
#include "frontend/RunSettings.h"
#include "frontend/ScpiOptions.h"
#include "publish/BrokerAddress.h"
#include "publish/MqttSink.h"
#include "record/RecordWriter.h"

#include <optional>
#include <string>
#include <vector>

namespace zelmora {

struct CliOptions {
    enum class Command { None, List, Read, Log, Serve, Report, TraceToPcap, Help, Version };

    Command command = Command::None;
    // --simulate, --real, --usb-id, as the window reads them.
    AppOptions meters;
    // --interval, --count, --duration, --averaging, --unit and the ids.
    RunSettings run;
    bool unitGiven = false;
    bool json = false;
    // list: every USB device, not only the meters.
    bool allUsb = false;
    bool all = false;
    // "-" is standard output.
    std::string output = "-";
    bool outputGiven = false;
    RecordFormat format = RecordFormat::Csv;
    bool append = false;
    bool reconnect = false;
    bool quiet = false;
    // --mqtt and its companions; the password is never on the command line.
    std::optional<BrokerAddress> mqtt;
    std::string mqttTopic;
    std::string mqttCaFile;
    std::string mqttUser;
    std::string mqttPasswordFile;
    std::size_t mqttQueue = kDefaultMqttQueue;
    // serve: where the first meter listens (the next on the next port, or
    // on the port its ID=PORT gives), and who may connect.
    ScpiOptions scpi;
    // serve: ID=PORT; 0 where the meter takes the next port.
    std::vector<int> meterPorts;
    // trace-to-pcap: the trace file to convert.
    std::string tracePath;
    // Why the command line cannot be run; empty when it can.
    std::string error;

    static CliOptions Parse(const std::vector<std::string>& arguments);
    static std::string UsageText(const std::string& program);
    static std::string HelpText(const std::string& program);
};

} // namespace zelmora

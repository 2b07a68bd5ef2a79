#pragma once

// Meters served as SCPI instruments beside whatever else a program does:
// a link to each meter through the process's sources (so that a window of
// the same process watches the very same readings), a port each, and the
// server's event loop on a thread of its own. The program's own thread only
// starts and stops it.

#include "meter/DeviceLink.h"
#include "scpi/ScpiServer.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zelmora {

class MeterSources;
class UsbDriver;

class CScpiService {
public:
    struct Settings {
        ScpiServerSettings server;
        // The first meter's port; a meter without one of its own takes the
        // next after the last one taken.
        int firstPort = 0;
        // *IDN?'s model and version.
        std::string program;
        std::string version;
        // The meters' poll period; none leaves it to whoever else watches.
        std::optional<int> pollPeriodMs;
        CDeviceLink::TestTuning tuning;
    };
    struct Meter {
        std::string id;
        // 0: the next port.
        int port = 0;
    };
    enum class Result { Ok, Failed, NoPortLeft };

    // The driver and the sources must outlive the service; `sources` may be
    // null (the links poll their meters themselves). `log` gets the
    // server's events, on the loop's thread.
    CScpiService(UsbDriver& driver, std::shared_ptr<MeterSources> sources, Settings settings,
                 std::function<void(const std::string&)> log);
    CScpiService(const CScpiService&) = delete;
    CScpiService& operator=(const CScpiService&) = delete;
    // Stops.
    ~CScpiService();

    // Starts every meter, listens on their ports and runs the loop; on
    // anything but Ok, `problem` says why and nothing is left running.
    Result Start(const std::vector<Meter>& meters, std::string& problem);
    // The VISA resource string of each meter, in Start's order.
    std::vector<std::string> Resources() const;
    // Closes every connection, ends the loop and stops the meters (a
    // meter another front end of the process still watches goes on).
    void Stop();

    // What a window program serves: every meter on `driver` when it starts,
    // on consecutive ports from `firstPort`, as the program "zelmora" at
    // the meters' own poll period; `log` gets each meter's resource line,
    // then the server's events. Null with `problem` set when there is no
    // meter or they cannot be served.
    static std::unique_ptr<CScpiService>
    ServeMetersPresent(UsbDriver& driver, std::shared_ptr<MeterSources> sources,
                       ScpiServerSettings server, int firstPort,
                       const std::function<void(const std::string&)>& log, std::string& problem);
    // "meter ID: RESOURCE", a line for each meter served.
    std::vector<std::string> ResourceLines() const;

private:
    UsbDriver& m_driver;
    std::shared_ptr<MeterSources> m_sources;
    const Settings m_settings;
    std::function<void(const std::string&)> m_log;
    std::vector<std::string> m_meterIds;
    // Before the server, which holds their addresses.
    std::vector<std::unique_ptr<CDeviceLink>> m_links;
    std::unique_ptr<CScpiServer> m_server;
    std::thread m_loop;
};

} // namespace zelmora

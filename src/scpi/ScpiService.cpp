#include "scpi/ScpiService.h"

#include "util/TextFormat.h"

#ifndef ZELMORA_VERSION
#define ZELMORA_VERSION "0"
#endif

namespace zelmora {

CScpiService::CScpiService(UsbDriver& driver, std::shared_ptr<MeterSources> sources,
                           Settings settings, std::function<void(const std::string&)> log)
    : m_driver(driver), m_sources(std::move(sources)), m_settings(std::move(settings)),
      m_log(std::move(log)) {}

CScpiService::~CScpiService() {
    Stop();
}

CScpiService::Result CScpiService::Start(const std::vector<Meter>& meters, std::string& problem) {
    std::vector<ScpiEndpoint> endpoints;
    int next = m_settings.firstPort;
    auto fail = [this](Result result) {
        Stop();
        return result;
    };
    for (const Meter& meter : meters) {
        auto link = m_sources
                        ? std::make_unique<CDeviceLink>(m_driver, m_settings.tuning, m_sources)
                        : std::make_unique<CDeviceLink>(m_driver, m_settings.tuning);
        if (m_settings.pollPeriodMs) {
            link->SetPollPeriod(*m_settings.pollPeriodMs);
        }
        link->Start(meter.id);
        if (!link->IsRunning()) {
            const std::string why = link->GetStartProblem();
            problem = "meter " + meter.id + " does not start" + (why.empty() ? "" : ": " + why);
            m_links.push_back(std::move(link));
            return fail(Result::Failed);
        }
        const int port = meter.port != 0 ? meter.port : next++;
        if (port > 65535) {
            problem = "no port left for meter " + meter.id;
            m_links.push_back(std::move(link));
            return fail(Result::NoPortLeft);
        }
        const std::string family = link->GetProbeFamily();
        const std::string model = link->GetProbeModel();
        endpoints.push_back(
            ScpiEndpoint{static_cast<std::uint16_t>(port), link.get(),
                         ScpiMeterInfo{meter.id, family, model, m_settings.program,
                                       m_settings.version, [family, model](int range) {
                                           return CDeviceLink::RangeLimit(family, model, range);
                                       }}});
        m_links.push_back(std::move(link));
        m_meterIds.push_back(meter.id);
    }
    m_server = std::make_unique<CScpiServer>(m_settings.server, m_log);
    if (!m_server->Listen(std::move(endpoints), problem)) {
        return fail(Result::Failed);
    }
    m_loop = std::thread([server = m_server.get()] { server->Run(); });
    return Result::Ok;
}

std::vector<std::string> CScpiService::Resources() const {
    std::vector<std::string> resources;
    if (!m_server) {
        return resources;
    }
    const std::string& address = m_settings.server.address;
    const bool v6 = address.find(':') != std::string::npos;
    for (const std::uint16_t port : m_server->Ports()) {
        resources.push_back(Format("TCPIP::%s%s%s::%u::SOCKET", v6 ? "[" : "", address.c_str(),
                                   v6 ? "]" : "", static_cast<unsigned>(port)));
    }
    return resources;
}

std::vector<std::string> CScpiService::ResourceLines() const {
    std::vector<std::string> lines = Resources();
    for (std::size_t i = 0; i < lines.size() && i < m_meterIds.size(); ++i) {
        lines[i] = "meter " + m_meterIds[i] + ": " + lines[i];
    }
    return lines;
}

std::unique_ptr<CScpiService> CScpiService::ServeMetersPresent(
    UsbDriver& driver, std::shared_ptr<MeterSources> sources, ScpiServerSettings server,
    int firstPort, const std::function<void(const std::string&)>& log, std::string& problem) {
    CDeviceLink scanner(driver);
    scanner.Rescan();
    std::vector<Meter> meters;
    for (const auto& meter : scanner.GetMeterListing()) {
        meters.push_back({meter.id, 0});
    }
    if (meters.empty()) {
        problem = "--scpi: no meter present to serve";
        return nullptr;
    }
    auto service = std::make_unique<CScpiService>(driver, std::move(sources),
                                                  Settings{.server = std::move(server),
                                                           .firstPort = firstPort,
                                                           .program = "zelmora",
                                                           .version = ZELMORA_VERSION},
                                                  log);
    if (service->Start(meters, problem) != Result::Ok) {
        return nullptr;
    }
    for (const std::string& line : service->ResourceLines()) {
        log(line);
    }
    return service;
}

void CScpiService::Stop() {
    if (m_server) {
        m_server->Stop();
        if (m_loop.joinable()) {
            m_loop.join();
        }
    }
    // The server lets go of the links before they stop.
    m_server.reset();
    for (const auto& link : m_links) {
        link->StopMeter();
    }
    m_links.clear();
}

} // namespace zelmora

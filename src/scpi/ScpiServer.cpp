#include "scpi/ScpiServer.h"

#include "meter/DeviceLink.h"
#include "util/TextFormat.h"

#include <array>
#include <asio.hpp>
#include <atomic>
#include <list>
#include <utility>

namespace zelmora {

namespace {

using asio::ip::tcp;

// The address as --allow prefixes are written: an IPv4 peer on an IPv6
// socket in its IPv4 form.
std::string AddressText(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    }
    return address.to_string();
}

} // namespace

struct CScpiServer::Impl {
    struct Meter;

    struct Client : std::enable_shared_from_this<Client> {
        Client(Impl& owner, Meter& served, tcp::socket connected)
            : server(owner), meter(served), socket(std::move(connected)), session(served.info),
              stallTimer(owner.io) {}

        Impl& server;
        Meter& meter;
        tcp::socket socket;
        CScpiSession session;
        asio::steady_timer stallTimer;
        std::string peer;
        // Bytes read and not run yet, from `consumed` on.
        std::string input;
        std::size_t consumed = 0;
        // The rest of a line too long to keep is dropped up to its LF.
        bool discarding = false;
        std::array<char, 16384> chunk{};
        std::string output;
        std::string writing;
        bool reading = false;
        bool open = true;

        void Start() { ReadMore(); }

        bool OutputFull() const { return output.size() >= server.settings.maxOutputBytes; }

        // Runs the complete lines that wait, as far as the session and the
        // output allow.
        void RunLines() {
            while (open && !session.Waiting() && !OutputFull()) {
                const std::size_t lf = input.find('\n', consumed);
                if (lf == std::string::npos) {
                    if (input.size() - consumed > server.settings.maxLineBytes) {
                        session.ReportError(-363, "Input buffer overrun;line too long");
                        discarding = true;
                        input.clear();
                        consumed = 0;
                    }
                    break;
                }
                const std::string_view line(input.data() + consumed, lf - consumed);
                consumed = lf + 1;
                if (discarding) {
                    discarding = false;
                    continue;
                }
                session.Execute(line);
                output += session.TakeOutput();
            }
            if (consumed > 0 && (consumed == input.size() || consumed > 65536)) {
                input.erase(0, consumed);
                consumed = 0;
            }
            Flush();
            ReadMore();
        }

        void ReadMore() {
            // Read on while a query waits for its reading (within the line
            // limit), so that a client gone away is noticed at once.
            if (!open || reading || OutputFull() ||
                input.size() - consumed > server.settings.maxLineBytes) {
                return;
            }
            reading = true;
            socket.async_read_some(asio::buffer(chunk), [self = shared_from_this()](
                                                            std::error_code error, std::size_t n) {
                self->reading = false;
                if (error) {
                    self->Close();
                    return;
                }
                if (self->discarding) {
                    const std::string_view data(self->chunk.data(), n);
                    const std::size_t lf = data.find('\n');
                    if (lf == std::string_view::npos) {
                        self->ReadMore();
                        return;
                    }
                    self->discarding = false;
                    self->input.append(data.substr(lf + 1));
                } else {
                    self->input.append(self->chunk.data(), n);
                }
                self->RunLines();
            });
        }

        void Flush() {
            if (!open || !writing.empty() || output.empty()) {
                return;
            }
            writing = std::move(output);
            output.clear();
            stallTimer.expires_after(server.settings.stallLimit);
            stallTimer.async_wait([self = shared_from_this()](std::error_code error) {
                if (!error && self->open && !self->writing.empty()) {
                    self->server.Log("closed " + self->peer + ": it takes no answers");
                    self->Close();
                }
            });
            asio::async_write(socket, asio::buffer(writing),
                              [self = shared_from_this()](std::error_code error, std::size_t) {
                                  self->writing.clear();
                                  self->stallTimer.cancel();
                                  if (error) {
                                      self->Close();
                                      return;
                                  }
                                  self->RunLines();
                              });
        }

        void OnSamples(const std::vector<MeterSample>& samples, bool lost) {
            if (!open) {
                return;
            }
            for (const MeterSample& sample : samples) {
                session.OnSample(sample);
            }
            if (lost) {
                session.OnMeterLost();
            }
            output += session.TakeOutput();
            RunLines();
        }

        void Close() {
            if (!open) {
                return;
            }
            open = false;
            // The meter's list owns the client; keep it for this call.
            const auto keep = shared_from_this();
            std::error_code ignored;
            socket.shutdown(tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
            stallTimer.cancel();
            meter.clients.remove(keep);
            --server.clientCount;
        }
    };

    struct Meter {
        Meter(asio::io_context& context, ScpiEndpoint endpoint)
            : link(endpoint.link), info(std::move(endpoint.info)), acceptor(context) {}
        CDeviceLink* link;
        ScpiMeterInfo info;
        tcp::acceptor acceptor;
        // The connections of the meter; a client leaves it as it closes.
        std::list<std::shared_ptr<Client>> clients;
        std::atomic<bool> drainPosted{false};
        bool lost = false;
    };

    Impl(ScpiServerSettings given, std::function<void(const std::string&)> logTo)
        : settings(std::move(given)), log(std::move(logTo)) {}

    void Log(const std::string& line) {
        if (log) {
            log(line);
        }
    }

    bool Allowed(const std::string& address) const {
        if (settings.allow.empty()) {
            return true;
        }
        for (const std::string& prefix : settings.allow) {
            if (address.starts_with(prefix)) {
                return true;
            }
        }
        return false;
    }

    void Accept(Meter& meter) {
        meter.acceptor.async_accept([this, &meter](std::error_code error, tcp::socket socket) {
            if (error == asio::error::operation_aborted || !meter.acceptor.is_open()) {
                return;
            }
            if (!error) {
                std::error_code ignored;
                const tcp::endpoint remote = socket.remote_endpoint(ignored);
                const std::string peer = AddressText(remote.address());
                if (!Allowed(peer)) {
                    Log("refused " + peer + ": not in --allow");
                    socket.close(ignored);
                } else if (clientCount >= settings.maxClients) {
                    Log(Format("refused %s: %llu clients already", peer.c_str(),
                               static_cast<unsigned long long>(clientCount)));
                    socket.close(ignored);
                } else {
                    socket.set_option(tcp::no_delay(true), ignored);
                    auto client = std::make_shared<Client>(*this, meter, std::move(socket));
                    client->peer = Format("%s:%u", peer.c_str(), remote.port());
                    meter.clients.push_back(client);
                    ++clientCount;
                    client->Start();
                    if (meter.lost) {
                        client->OnSamples({}, true);
                    }
                }
            }
            Accept(meter);
        });
    }

    // On the loop: hands the meter's new samples to its clients.
    void Drain(Meter& meter) {
        meter.drainPosted = false;
        if (stopped) {
            return;
        }
        const std::vector<MeterSample> samples = meter.link->TakeSamples();
        const bool lost = !meter.link->IsRunning() && !meter.lost;
        meter.lost = meter.lost || lost;
        // A client may close while served: serve a copy of the list.
        const std::vector<std::shared_ptr<Client>> served(meter.clients.begin(),
                                                          meter.clients.end());
        for (const auto& client : served) {
            client->OnSamples(samples, lost);
        }
    }

    void Shutdown() {
        stopped = true;
        std::error_code ignored;
        for (auto& meter : meters) {
            meter->acceptor.close(ignored);
        }
        for (auto& meter : meters) {
            const std::vector<std::shared_ptr<Client>> open(meter->clients.begin(),
                                                            meter->clients.end());
            for (const auto& client : open) {
                client->Close();
            }
        }
        io.stop();
    }

    ScpiServerSettings settings;
    std::function<void(const std::string&)> log;
    asio::io_context io{1};
    std::vector<std::unique_ptr<Meter>> meters;
    std::size_t clientCount = 0;
    bool stopped = false;
};

CScpiServer::CScpiServer(ScpiServerSettings settings, std::function<void(const std::string&)> log)
    : m_impl(std::make_unique<Impl>(std::move(settings), std::move(log))) {}

CScpiServer::~CScpiServer() {
    for (auto& meter : m_impl->meters) {
        meter->link->SetSampleNotifier({});
    }
}

bool CScpiServer::Listen(std::vector<ScpiEndpoint> endpoints, std::string& error) {
    std::error_code code;
    const asio::ip::address address = asio::ip::make_address(m_impl->settings.address, code);
    if (code) {
        error = "cannot listen on '" + PrintableExcerpt(m_impl->settings.address, 60) +
                "': not an IP address";
        return false;
    }
    std::vector<std::unique_ptr<Impl::Meter>> meters;
    for (ScpiEndpoint& endpoint : endpoints) {
        const std::uint16_t port = endpoint.port;
        auto meter = std::make_unique<Impl::Meter>(m_impl->io, std::move(endpoint));
        const tcp::endpoint where(address, port);
        meter->acceptor.open(where.protocol(), code);
        if (!code) {
            meter->acceptor.set_option(tcp::acceptor::reuse_address(true), code);
            meter->acceptor.bind(where, code);
        }
        if (!code) {
            meter->acceptor.listen(asio::socket_base::max_listen_connections, code);
        }
        if (code) {
            error = Format("cannot listen on %s port %u: %s", m_impl->settings.address.c_str(),
                           port, code.message().c_str());
            return false;
        }
        meters.push_back(std::move(meter));
    }
    m_impl->meters = std::move(meters);
    for (auto& meter : m_impl->meters) {
        Impl::Meter* raw = meter.get();
        Impl* impl = m_impl.get();
        // On the tick's thread, with the link's lock held: one wake-up at a
        // time, nothing that waits.
        raw->link->SetSampleNotifier([impl, raw] {
            if (!raw->drainPosted.exchange(true)) {
                asio::post(impl->io, [impl, raw] { impl->Drain(*raw); });
            }
        });
        m_impl->Accept(*raw);
        // Samples that came before the notifier.
        asio::post(m_impl->io, [impl, raw] { impl->Drain(*raw); });
    }
    return true;
}

std::vector<std::uint16_t> CScpiServer::Ports() const {
    std::vector<std::uint16_t> ports;
    for (const auto& meter : m_impl->meters) {
        std::error_code ignored;
        ports.push_back(meter->acceptor.local_endpoint(ignored).port());
    }
    return ports;
}

void CScpiServer::Run() {
    const auto guard = asio::make_work_guard(m_impl->io);
    m_impl->io.run();
}

void CScpiServer::Stop() {
    for (auto& meter : m_impl->meters) {
        meter->link->SetSampleNotifier({});
    }
    asio::post(m_impl->io, [impl = m_impl.get()] { impl->Shutdown(); });
}

} // namespace zelmora

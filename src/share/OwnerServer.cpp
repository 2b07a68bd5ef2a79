#include "share/OwnerServer.h"

#include "share/ShareProtocol.h"
#include "share/ShareTransport.h"

#include <algorithm>
#include <array>
#include <asio/post.hpp>
#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <chrono>
#include <deque>
#include <future>
#include <vector>

namespace zelmora {

namespace {

using Socket = ShareStream;

// Lines written at once to one client.
constexpr std::size_t kBatch = kMaxSendBuffers;
// The system's buffer of a client's connection: a few dozen samples.
constexpr std::size_t kSendBuffer = 8192;
// How long a stopping owner waits for its clients to take what it queued
// for them.
constexpr std::chrono::seconds kFlushLimit(1);

std::string StatusText(const ConvertedReading& converted) {
    if (!converted.converted) {
        return "no_conversion";
    }
    return converted.overRange ? "over_range" : "ok";
}

std::string UnitText(const std::string& family) {
    if (family == "KV" || family == "RM") {
        return "W";
    }
    return family == "ZN" ? "mW" : "";
}

std::shared_ptr<const std::string> Line(const ShareMessage& message) {
    return std::make_shared<const std::string>(EncodeMessage(message));
}

std::shared_ptr<const std::string> ErrorLine(const std::string& reason) {
    ShareMessage message;
    message.kind = ShareMessage::Kind::Error;
    message.reason = reason;
    return Line(message);
}

} // namespace

struct COwnerServer::Session {
    explicit Session(Socket s) : socket(std::move(s)) {}
    Socket socket;
    asio::streambuf input{kMaxLineLength};
    std::array<char, 256> hangUp{};
    // Lines waiting, oldest first; the first `inFlight` are being written,
    // and `sentOfFirst` bytes of the first are sent already.
    std::deque<std::shared_ptr<const std::string>> queue;
    std::size_t inFlight = 0;
    std::size_t sentOfFirst = 0;
    // The lines at the front that must go out whole.
    std::size_t Started() const { return std::max<std::size_t>(inFlight, sentOfFirst > 0); }
    bool writing = false;
    bool watching = false;
    // After the lines queued, the connection closes.
    bool closing = false;
    bool closed = false;
    int every = 1;
    std::uint64_t offered = 0;
    std::uint64_t lost = 0;
};

class COwnerServer::Acceptor {
public:
    explicit Acceptor(asio::io_context& loop) : listener(loop) {}
    CShareListener listener;
};

COwnerServer::COwnerServer(asio::io_context& loop, std::shared_ptr<MeterSource> source,
                           Settings settings, std::string endpointPath)
    : m_loop(loop), m_source(std::move(source)), m_settings(std::move(settings)),
      m_endpointPath(std::move(endpointPath)), m_acceptor(std::make_unique<Acceptor>(loop)),
      m_strProbeFamily(m_source->GetProbeFamily()), m_strProbeModel(m_source->GetProbeModel()) {}

std::unique_ptr<COwnerServer> COwnerServer::Start(asio::io_context& loop,
                                                  std::shared_ptr<MeterSource> source,
                                                  const std::string& endpointPath,
                                                  Settings settings, std::string& problem) {
    std::unique_ptr<COwnerServer> server(
        new COwnerServer(loop, std::move(source), std::move(settings), endpointPath));
    if (!server->m_acceptor->listener.Open(endpointPath, problem)) {
        return nullptr;
    }
    // Before any client is accepted, so that none misses the first reading
    // it asks for.
    server->m_source->Join(*server);
    COwnerServer* raw = server.get();
    asio::post(loop, [raw] { raw->Accept(); });
    return server;
}

COwnerServer::~COwnerServer() {
    // No reading is posted once this returns; those posted before are
    // queued for the clients ahead of the end.
    m_source->Leave(*this, true);
    std::promise<void> drained;
    std::future<void> sent = drained.get_future();
    asio::post(m_loop, [this, &drained] {
        m_pDrained = &drained;
        Shutdown("owner_stops", "the owner of the meter stops");
        // Each connection closed already, or with its last write.
        if (m_pDrained != nullptr && m_sessions.empty()) {
            std::exchange(m_pDrained, nullptr)->set_value();
        }
    });
    // The clients that read get every sample taken before the end; one that
    // stopped reading is not waited for long.
    sent.wait_for(kFlushLimit);
    std::promise<void> closed;
    asio::post(m_loop, [this, &closed] {
        m_pDrained = nullptr;
        CloseAll();
        closed.set_value();
    });
    closed.get_future().wait();
    RemoveEndpoint(m_endpointPath);
}

bool COwnerServer::SetPollPeriod(int periodMs, std::string& problem) {
    std::promise<bool> done;
    asio::post(m_loop, [this, periodMs, &problem, &done] {
        const int period = m_source->GetPollPeriod();
        if (m_nWatching.load() > 0 && periodMs != period) {
            problem = "other processes watch this meter every " + std::to_string(period) + " ms";
            done.set_value(false);
            return;
        }
        done.set_value(m_source->SetPollPeriod(periodMs, problem));
    });
    return done.get_future().get();
}

// --- The readings, on the poll's thread ------------------------------------------

bool COwnerServer::WantsReading() {
    return m_nWatching.load() > 0;
}

void COwnerServer::OnReading(const MeterReading& reading) {
    ShareMessage message;
    message.kind = ShareMessage::Kind::Sample;
    message.reading = reading;
    const ConvertedReading converted =
        ConvertReading(m_strProbeFamily, m_strProbeModel, reading.reading, reading.range);
    if (converted.converted) {
        message.power = converted.power;
    }
    message.status = StatusText(converted);
    message.unit = UnitText(m_strProbeFamily);
    asio::post(m_loop, [this, line = Line(message)] { Broadcast(line); });
}

void COwnerServer::OnReadingsLost(std::uint64_t) {
    // The owner's source is its own poll: nothing is lost before it.
}

void COwnerServer::OnGap(bool) {}

void COwnerServer::OnClosed() {
    asio::post(m_loop, [this] { Shutdown("meter_lost", "the meter was lost"); });
}

// --- The clients, on the loop's thread ---------------------------------------

void COwnerServer::Accept() {
    m_acceptor->listener.AsyncAccept([this](const asio::error_code& error, Socket socket) {
        if (error) {
            return; // closed by Shutdown
        }
        auto session = std::make_shared<Session>(std::move(socket));
        m_sessions.insert(session);
        // The backlog of a client that stops reading waits in its queue,
        // where it is counted and its loss told, rather than in the kernel.
        LimitSendBuffer(session->socket, kSendBuffer);
        if (!PeerIsThisUser(session->socket)) {
            Refuse(session, *ErrorLine("this meter is served to its owner's user only"));
        } else {
            Welcome(session);
        }
        Accept();
    });
}

void COwnerServer::Welcome(const std::shared_ptr<Session>& session) {
    ShareMessage hello;
    hello.kind = ShareMessage::Kind::Hello;
    hello.version = kShareProtocolVersion;
    hello.meterId = m_settings.meterId;
    hello.probeFamily = m_strProbeFamily;
    hello.probeModel = m_strProbeModel;
    hello.intervalMs = m_source->GetPollPeriod();
    hello.ownerPid = ThisProcessId();
    hello.ownerProgram = m_settings.program;
    hello.devicePath = m_settings.devicePath;
    Queue(session, Line(hello));
    ReadRequest(session);
}

void COwnerServer::ReadRequest(const std::shared_ptr<Session>& session) {
    asio::async_read_until(session->socket, session->input, '\n',
                           [this, session](const asio::error_code& error, std::size_t length) {
                               if (session->closed) {
                                   return;
                               }
                               if (error == asio::error::not_found) {
                                   Refuse(session, *ErrorLine("the line is too long"));
                                   return;
                               }
                               if (error) {
                                   Close(session);
                                   return;
                               }
                               std::string line(asio::buffers_begin(session->input.data()),
                                                asio::buffers_begin(session->input.data()) +
                                                    static_cast<std::ptrdiff_t>(length - 1));
                               session->input.consume(length);
                               HandleRequest(session, line);
                           });
}

void COwnerServer::HandleRequest(const std::shared_ptr<Session>& session, const std::string& line) {
    std::string error;
    const std::optional<ShareMessage> request = DecodeMessage(line, error);
    if (!request) {
        Refuse(session, *ErrorLine("an invalid request: " + error));
        return;
    }
    if (request->kind != ShareMessage::Kind::Watch) {
        Refuse(session, *ErrorLine("the first request must be a watch"));
        return;
    }
    const int period = m_source->GetPollPeriod();
    if (request->intervalMs % period != 0) {
        Refuse(session, *ErrorLine("the meter's owner (" + m_settings.program + ", pid " +
                                   std::to_string(ThisProcessId()) + ") polls it every " +
                                   std::to_string(period) + " ms; ask for " +
                                   std::to_string(period) + " ms or a multiple of it"));
        return;
    }
    ShareMessage watching;
    watching.kind = ShareMessage::Kind::Watching;
    watching.intervalMs = request->intervalMs;
    watching.every = request->intervalMs / period;
    session->every = watching.every;
    Queue(session, Line(watching));
    session->watching = true;
    ++m_nWatching;
    // Bytes that came with the watch request are a request too many.
    if (session->input.size() > 0) {
        Refuse(session, *ErrorLine("no request is expected after the watch"));
        return;
    }
    WatchForHangUp(session);
}

void COwnerServer::WatchForHangUp(const std::shared_ptr<Session>& session) {
    session->socket.async_read_some(
        asio::buffer(session->hangUp), [this, session](const asio::error_code& error, std::size_t) {
            if (session->closed) {
                return;
            }
            if (error) {
                Close(session);
                return;
            }
            Refuse(session, *ErrorLine("no request is expected after the watch"));
        });
}

void COwnerServer::Broadcast(const std::shared_ptr<const std::string>& line) {
    // A client found gone while its sample is sent is closed and leaves the
    // set: the next one is taken before.
    for (auto next = m_sessions.begin(); next != m_sessions.end();) {
        const std::shared_ptr<Session> session = *next++;
        if (!session->watching || session->closing) {
            continue;
        }
        if (session->offered++ % static_cast<std::uint64_t>(session->every) != 0) {
            continue;
        }
        // The oldest sample that is not being written makes room.
        if (session->queue.size() - session->Started() >= m_settings.queueCapacity) {
            session->queue.erase(session->queue.begin() +
                                 static_cast<std::ptrdiff_t>(session->Started()));
            ++session->lost;
        }
        Queue(session, line);
    }
}

void COwnerServer::Queue(const std::shared_ptr<Session>& session,
                         std::shared_ptr<const std::string> line) {
    session->queue.push_back(std::move(line));
    Write(session);
}

void COwnerServer::Write(const std::shared_ptr<Session>& session) {
    if (session->writing || session->closed) {
        return;
    }
    if (session->lost > 0) {
        // Told before the first sample after the loss.
        ShareMessage lost;
        lost.kind = ShareMessage::Kind::Lost;
        lost.lostSamples = std::exchange(session->lost, 0);
        session->queue.push_front(Line(lost));
    }
    // What the socket takes now goes at once, without an asynchronous
    // write: a client that keeps up costs one send per sample, and one
    // that has a backlog gets as much of it as its socket takes in one.
    std::array<asio::const_buffer, kBatch> batch;
    while (!session->queue.empty()) {
        const std::size_t count = std::min(session->queue.size(), kBatch);
        std::size_t size = 0;
        for (std::size_t i = 0; i < count; ++i) {
            batch[i] = asio::buffer(*session->queue[i]) + (i == 0 ? session->sentOfFirst : 0);
            size += batch[i].size();
        }
        const std::ptrdiff_t sent = SendNow(session->socket, batch.data(), count);
        if (sent < 0) {
            Close(session);
            return;
        }
        // The lines sent whole leave the queue; the first one cut keeps
        // its place and what of it was sent.
        for (auto left = static_cast<std::size_t>(sent); left > 0;) {
            const std::size_t rest = session->queue.front()->size() - session->sentOfFirst;
            if (left < rest) {
                session->sentOfFirst += left;
                break;
            }
            left -= rest;
            session->queue.pop_front();
            session->sentOfFirst = 0;
        }
        if (static_cast<std::size_t>(sent) < size) {
            break;
        }
    }
    if (session->queue.empty()) {
        if (session->closing) {
            Close(session);
        }
        return;
    }
    // The rest when the client reads again.
    session->inFlight = std::min(session->queue.size(), kBatch);
    std::vector<asio::const_buffer> pending;
    for (std::size_t i = 0; i < session->inFlight; ++i) {
        pending.push_back(asio::buffer(*session->queue[i]) + (i == 0 ? session->sentOfFirst : 0));
    }
    session->writing = true;
    asio::async_write(session->socket, pending,
                      [this, session](const asio::error_code& error, std::size_t) {
                          session->writing = false;
                          if (session->closed) {
                              return;
                          }
                          session->queue.erase(session->queue.begin(),
                                               session->queue.begin() +
                                                   static_cast<std::ptrdiff_t>(session->inFlight));
                          session->inFlight = 0;
                          session->sentOfFirst = 0;
                          if (error) {
                              Close(session);
                              return;
                          }
                          Write(session);
                      });
}

void COwnerServer::Refuse(const std::shared_ptr<Session>& session, const std::string& line) {
    if (session->closing || session->closed) {
        return;
    }
    // Nothing more is sent but this message.
    session->queue.erase(session->queue.begin() + static_cast<std::ptrdiff_t>(session->Started()),
                         session->queue.end());
    session->lost = 0;
    session->queue.push_back(std::make_shared<const std::string>(line));
    session->closing = true;
    if (session->watching) {
        session->watching = false;
        --m_nWatching;
    }
    Write(session);
}

void COwnerServer::Close(const std::shared_ptr<Session>& session) {
    if (session->closed) {
        return;
    }
    session->closed = true;
    if (session->watching) {
        session->watching = false;
        --m_nWatching;
    }
    CloseStream(session->socket);
    m_sessions.erase(session);
    if (m_pDrained != nullptr && m_sessions.empty()) {
        std::exchange(m_pDrained, nullptr)->set_value();
    }
}

void COwnerServer::Shutdown(const std::string& why, const std::string& reason) {
    m_acceptor->listener.Close();
    ShareMessage end;
    end.kind = ShareMessage::Kind::End;
    end.why = why;
    end.reason = reason;
    const std::shared_ptr<const std::string> line = Line(end);
    // After what is queued: a client that reads gets every sample taken
    // before the end, then the end, then the connection closes.
    const std::set<std::shared_ptr<Session>> sessions = m_sessions;
    for (const std::shared_ptr<Session>& session : sessions) {
        if (session->closed || session->closing) {
            continue; // told its error already
        }
        session->closing = true;
        if (session->watching) {
            session->watching = false;
            --m_nWatching;
        }
        Queue(session, line);
    }
}

void COwnerServer::CloseAll() {
    const std::set<std::shared_ptr<Session>> sessions = m_sessions;
    for (const std::shared_ptr<Session>& session : sessions) {
        Close(session);
    }
}

} // namespace zelmora

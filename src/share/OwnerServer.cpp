#include "share/OwnerServer.h"

#include "share/ShareProtocol.h"
#include "share/ShareTransport.h"

#include <algorithm>
#include <array>
#include <asio/post.hpp>
#include <asio/read_until.hpp>
#include <asio/steady_timer.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <chrono>
#include <deque>
#include <future>
#include <map>
#include <set>
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
// How long the samples of one period wait for each other before a client
// that watches several meters gets those that came: the pollers tick in
// step, so the others follow within a fraction of this.
constexpr std::chrono::milliseconds kGather(3);

std::atomic<std::uint64_t> g_nextServerSerial{1};

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

struct CShareService::Impl {
    // One meter a connection carries.
    struct Watch {
        std::uint64_t server = 0;
        std::string meterId;
        int every = 1;
        std::uint64_t offered = 0;
        // Samples dropped for this meter since its last "lost".
        std::uint64_t lost = 0;
    };
    // A line waiting; a sample remembers its meter (its loss is told for
    // that meter), an end its server (which waits for it to leave).
    struct Entry {
        std::shared_ptr<const std::string> line;
        std::uint64_t sampleOf = 0;
        std::uint64_t endOf = 0;
    };
    struct Session {
        Session(Socket s, std::uint64_t endpointMeter)
            : socket(std::move(s)), home(endpointMeter) {}
        Socket socket;
        asio::streambuf input{kMaxLineLength};
        // The endpoint's meter: the first watch's when it names none.
        std::uint64_t home = 0;
        // Lines waiting, oldest first; the first `inFlight` are being
        // written, and `sentOfFirst` bytes of the first are sent already.
        std::deque<Entry> queue;
        std::size_t inFlight = 0;
        std::size_t sentOfFirst = 0;
        // The lines at the front that must go out whole.
        std::size_t Started() const { return std::max<std::size_t>(inFlight, sentOfFirst > 0); }
        std::vector<Watch> watches;
        // Samples the queue holds: each meter's share.
        std::size_t capacity = 0;
        bool writing = false;
        bool watched = false;
        // Samples wait for the rest of their period (see Broadcast).
        bool gathering = false;
        // After the lines queued, the connection closes.
        bool closing = false;
        bool closed = false;

        Watch* WatchOf(std::uint64_t server) {
            for (Watch& watch : watches) {
                if (watch.server == server) {
                    return &watch;
                }
            }
            return nullptr;
        }
    };
    using SessionPtr = std::shared_ptr<Session>;

    explicit Impl(asio::io_context& context) : loop(context), gather(context) {}

    COwnerServer* Find(std::uint64_t serial) const {
        const auto it = servers.find(serial);
        return it == servers.end() ? nullptr : it->second;
    }
    COwnerServer* FindMeter(const std::string& meterId) const {
        for (const auto& [serial, server] : servers) {
            if (server->m_settings.meterId == meterId && !server->m_bEnded) {
                return server;
            }
        }
        return nullptr;
    }

    void Adopt(COwnerServer& server, Socket socket);
    void ReadRequest(const SessionPtr& session);
    void HandleRequest(const SessionPtr& session, const std::string& line);
    // Whether `server` serves the interval asked; the refusal's text when not.
    static bool Serves(const COwnerServer& server, int intervalMs, std::string& refusal);
    void AddWatch(const SessionPtr& session, COwnerServer& server, int intervalMs);
    void DropWatch(Session& session, std::uint64_t server);
    void Broadcast(COwnerServer& server, const std::shared_ptr<const std::string>& line);
    void FlushGathered();
    void Queue(const SessionPtr& session, Entry entry);
    void Write(const SessionPtr& session);
    // An end that left whole, or never will.
    void EndGone(Entry& entry);
    void Refuse(const SessionPtr& session, const std::string& line);
    void Close(const SessionPtr& session);
    void End(COwnerServer& server, const std::string& why, const std::string& reason);
    void CutOff(COwnerServer& server);

    asio::io_context& loop;
    std::map<std::uint64_t, COwnerServer*> servers;
    std::set<SessionPtr> sessions;
    // The meters whose sample of this period came, and the connections
    // whose samples wait for the rest of it.
    std::set<std::uint64_t> delivered;
    std::vector<std::weak_ptr<Session>> gathered;
    asio::steady_timer gather;
    std::uint64_t gatherRound = 0;
    bool gatherArmed = false;
};

CShareService::CShareService(asio::io_context& loop)
    : m_loop(loop), m_impl(std::make_unique<Impl>(loop)) {}

CShareService::~CShareService() = default;

class COwnerServer::Acceptor {
public:
    explicit Acceptor(asio::io_context& loop) : listener(loop) {}
    CShareListener listener;
};

COwnerServer::COwnerServer(CShareService& service, std::shared_ptr<MeterSource> source,
                           Settings settings, std::string endpointPath)
    : m_service(service), m_loop(service.Loop()), m_nSerial(g_nextServerSerial++),
      m_source(std::move(source)), m_settings(std::move(settings)),
      m_endpointPath(std::move(endpointPath)), m_acceptor(std::make_unique<Acceptor>(m_loop)),
      m_strProbeFamily(m_source->GetProbeFamily()), m_strProbeModel(m_source->GetProbeModel()) {}

std::unique_ptr<COwnerServer> COwnerServer::Start(CShareService& service,
                                                  std::shared_ptr<MeterSource> source,
                                                  const std::string& endpointPath,
                                                  Settings settings, std::string& problem) {
    std::unique_ptr<COwnerServer> server(
        new COwnerServer(service, std::move(source), std::move(settings), endpointPath));
    if (!server->m_acceptor->listener.Open(endpointPath, problem)) {
        return nullptr;
    }
    // Before any client is accepted, so that none misses the first reading
    // it asks for.
    server->m_source->Join(*server);
    COwnerServer* raw = server.get();
    asio::post(server->m_loop, [raw] {
        raw->m_service.m_impl->servers[raw->m_nSerial] = raw;
        raw->Accept();
    });
    return server;
}

COwnerServer::~COwnerServer() {
    // No reading is posted once this returns; those posted before are
    // queued for the clients ahead of the end.
    m_source->Leave(*this, true);
    CShareService::Impl& impl = *m_service.m_impl;
    std::promise<void> drained;
    std::future<void> sent = drained.get_future();
    asio::post(m_loop, [this, &impl, &drained] {
        m_pDrained = &drained;
        impl.End(*this, "owner_stops", "the owner of the meter stops");
        // Each end left already, or leaves with its connection's next write.
        if (m_pDrained != nullptr && m_nEndsUnsent == 0) {
            std::exchange(m_pDrained, nullptr)->set_value();
        }
    });
    // The clients that read get every sample taken before the end; one that
    // stopped reading is not waited for long.
    sent.wait_for(kFlushLimit);
    std::promise<void> closed;
    asio::post(m_loop, [this, &impl, &closed] {
        m_pDrained = nullptr;
        impl.CutOff(*this);
        impl.servers.erase(m_nSerial);
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
    message.meterId = m_settings.meterId;
    message.reading = reading;
    const ConvertedReading converted =
        ConvertReading(m_strProbeFamily, m_strProbeModel, reading.reading, reading.range);
    if (converted.converted) {
        message.power = converted.power;
    }
    message.status = StatusText(converted);
    message.unit = UnitText(m_strProbeFamily);
    asio::post(m_loop, [this, line = Line(message)] { m_service.m_impl->Broadcast(*this, line); });
}

void COwnerServer::OnReadingsLost(std::uint64_t) {
    // The owner's source is its own poll: nothing is lost before it.
}

void COwnerServer::OnGap(bool) {}

void COwnerServer::OnClosed() {
    asio::post(m_loop,
               [this] { m_service.m_impl->End(*this, "meter_lost", "the meter was lost"); });
}

// --- The clients, on the loop's thread ---------------------------------------

void COwnerServer::Accept() {
    m_acceptor->listener.AsyncAccept([this](const asio::error_code& error, Socket socket) {
        if (error) {
            return; // closed by End
        }
        m_service.m_impl->Adopt(*this, std::move(socket));
        Accept();
    });
}

void CShareService::Impl::Adopt(COwnerServer& server, Socket socket) {
    auto session = std::make_shared<Session>(std::move(socket), server.m_nSerial);
    sessions.insert(session);
    // The backlog of a client that stops reading waits in its queue,
    // where it is counted and its loss told, rather than in the kernel.
    LimitSendBuffer(session->socket, kSendBuffer);
    if (!PeerIsThisUser(session->socket)) {
        Refuse(session, *ErrorLine("this meter is served to its owner's user only"));
        return;
    }
    ShareMessage hello;
    hello.kind = ShareMessage::Kind::Hello;
    hello.version = kShareProtocolVersion;
    hello.joins = true;
    hello.meterId = server.m_settings.meterId;
    hello.probeFamily = server.m_strProbeFamily;
    hello.probeModel = server.m_strProbeModel;
    hello.intervalMs = server.m_source->GetPollPeriod();
    hello.ownerPid = ThisProcessId();
    hello.ownerProgram = server.m_settings.program;
    hello.devicePath = server.m_settings.devicePath;
    Queue(session, {Line(hello)});
    ReadRequest(session);
}

void CShareService::Impl::ReadRequest(const SessionPtr& session) {
    asio::async_read_until(session->socket, session->input, '\n',
                           [this, session](const asio::error_code& error, std::size_t length) {
                               if (session->closed) {
                                   return;
                               }
                               if (error && error != asio::error::not_found) {
                                   Close(session);
                                   return;
                               }
                               // Told its error or its end already: what
                               // else it asks is not served.
                               if (session->closing) {
                                   return;
                               }
                               if (error) {
                                   Refuse(session, *ErrorLine("the line is too long"));
                                   return;
                               }
                               std::string line(asio::buffers_begin(session->input.data()),
                                                asio::buffers_begin(session->input.data()) +
                                                    static_cast<std::ptrdiff_t>(length - 1));
                               session->input.consume(length);
                               HandleRequest(session, line);
                           });
}

bool CShareService::Impl::Serves(const COwnerServer& server, int intervalMs, std::string& refusal) {
    const int period = server.m_source->GetPollPeriod();
    if (intervalMs % period == 0) {
        return true;
    }
    refusal = "the meter's owner (" + server.m_settings.program + ", pid " +
              std::to_string(ThisProcessId()) + ") polls it every " + std::to_string(period) +
              " ms; ask for " + std::to_string(period) + " ms or a multiple of it";
    return false;
}

void CShareService::Impl::HandleRequest(const SessionPtr& session, const std::string& line) {
    std::string error;
    const std::optional<ShareMessage> request = DecodeMessage(line, error);
    if (!request) {
        Refuse(session, *ErrorLine("an invalid request: " + error));
        return;
    }
    if (!session->watched) {
        if (request->kind != ShareMessage::Kind::Watch) {
            Refuse(session, *ErrorLine("the first request must be a watch"));
            return;
        }
        COwnerServer* server =
            request->meterId.empty() ? Find(session->home) : FindMeter(request->meterId);
        std::string refusal;
        if (server == nullptr) {
            Refuse(session, *ErrorLine("this process does not serve meter " + request->meterId));
        } else if (!Serves(*server, request->intervalMs, refusal)) {
            Refuse(session, *ErrorLine(refusal));
        } else {
            session->watched = true;
            AddWatch(session, *server, request->intervalMs);
            ReadRequest(session);
        }
        return;
    }
    // Further meters of this process on the same connection, and meters no
    // longer wanted; anything else ends it.
    if (request->kind == ShareMessage::Kind::Watch && !request->meterId.empty()) {
        COwnerServer* server = FindMeter(request->meterId);
        ShareMessage refused;
        refused.kind = ShareMessage::Kind::Refused;
        refused.meterId = request->meterId;
        if (server == nullptr) {
            refused.reason = "this process does not serve meter " + request->meterId;
        } else if (session->WatchOf(server->m_nSerial) != nullptr) {
            refused.reason = "meter " + request->meterId + " is watched on this connection already";
        } else if (Serves(*server, request->intervalMs, refused.reason)) {
            AddWatch(session, *server, request->intervalMs);
            ReadRequest(session);
            return;
        }
        Queue(session, {Line(refused)});
        ReadRequest(session);
        return;
    }
    if (request->kind == ShareMessage::Kind::Unwatch) {
        for (const Watch& watch : session->watches) {
            if (watch.meterId == request->meterId) {
                DropWatch(*session, watch.server);
                break;
            }
        }
        ReadRequest(session);
        return;
    }
    Refuse(session, *ErrorLine("no request is expected after the watch"));
}

void CShareService::Impl::AddWatch(const SessionPtr& session, COwnerServer& server,
                                   int intervalMs) {
    ShareMessage watching;
    watching.kind = ShareMessage::Kind::Watching;
    watching.meterId = server.m_settings.meterId;
    watching.intervalMs = intervalMs;
    watching.every = intervalMs / server.m_source->GetPollPeriod();
    session->watches.push_back({server.m_nSerial, server.m_settings.meterId, watching.every});
    session->capacity += server.m_settings.queueCapacity;
    ++server.m_nWatching;
    Queue(session, {Line(watching)});
}

void CShareService::Impl::DropWatch(Session& session, std::uint64_t server) {
    const auto it = std::find_if(session.watches.begin(), session.watches.end(),
                                 [server](const Watch& watch) { return watch.server == server; });
    if (it == session.watches.end()) {
        return;
    }
    session.watches.erase(it);
    if (COwnerServer* owner = Find(server)) {
        session.capacity -= std::min(session.capacity, owner->m_settings.queueCapacity);
        --owner->m_nWatching;
    }
}

void CShareService::Impl::Broadcast(COwnerServer& server,
                                    const std::shared_ptr<const std::string>& line) {
    // A meter's second sample opens a new period: the first one's
    // gathered samples go before it.
    if (delivered.contains(server.m_nSerial)) {
        FlushGathered();
    }
    // A client found gone while its sample is sent is closed and leaves the
    // set: the next one is taken before.
    for (auto next = sessions.begin(); next != sessions.end();) {
        const SessionPtr session = *next++;
        Watch* watch = session->closing ? nullptr : session->WatchOf(server.m_nSerial);
        if (watch == nullptr) {
            continue;
        }
        if (watch->offered++ % static_cast<std::uint64_t>(watch->every) != 0) {
            continue;
        }
        // The oldest sample that is not being written makes room.
        if (session->queue.size() - session->Started() >= session->capacity) {
            const auto oldest = std::find_if(
                session->queue.begin() + static_cast<std::ptrdiff_t>(session->Started()),
                session->queue.end(), [](const Entry& e) { return e.sampleOf != 0; });
            if (oldest != session->queue.end()) {
                if (Watch* of = session->WatchOf(oldest->sampleOf)) {
                    ++of->lost;
                }
                session->queue.erase(oldest);
            }
        }
        if (session->watches.size() == 1) {
            Queue(session, {line, server.m_nSerial});
            continue;
        }
        // A connection that carries several meters gets the samples of one
        // period in one write: one send and one wake-up of the client.
        session->queue.push_back({line, server.m_nSerial});
        if (!session->gathering) {
            session->gathering = true;
            gathered.push_back(session);
        }
    }
    delivered.insert(server.m_nSerial);
    const bool all = std::all_of(servers.begin(), servers.end(), [this](const auto& entry) {
        return entry.second->m_nWatching.load() == 0 || delivered.contains(entry.first);
    });
    if (all) {
        FlushGathered();
    } else if (!gatherArmed && !gathered.empty()) {
        gatherArmed = true;
        gather.expires_after(kGather);
        gather.async_wait([this, round = gatherRound](const asio::error_code& error) {
            if (!error && round == gatherRound) {
                FlushGathered();
            }
        });
    }
}

void CShareService::Impl::FlushGathered() {
    delivered.clear();
    ++gatherRound;
    if (gatherArmed) {
        gatherArmed = false;
        gather.cancel();
    }
    const std::vector<std::weak_ptr<Session>> waiting = std::exchange(gathered, {});
    for (const std::weak_ptr<Session>& weak : waiting) {
        if (const SessionPtr session = weak.lock()) {
            session->gathering = false;
            Write(session);
        }
    }
}

void CShareService::Impl::Queue(const SessionPtr& session, Entry entry) {
    session->queue.push_back(std::move(entry));
    Write(session);
}

void CShareService::Impl::EndGone(Entry& entry) {
    if (entry.endOf == 0) {
        return;
    }
    COwnerServer* server = Find(std::exchange(entry.endOf, 0));
    if (server != nullptr && --server->m_nEndsUnsent == 0 && server->m_pDrained != nullptr) {
        std::exchange(server->m_pDrained, nullptr)->set_value();
    }
}

void CShareService::Impl::Write(const SessionPtr& session) {
    if (session->writing || session->closed) {
        return;
    }
    // Each loss is told before the first sample of its meter after it.
    for (Watch& watch : session->watches) {
        if (watch.lost > 0) {
            ShareMessage lost;
            lost.kind = ShareMessage::Kind::Lost;
            lost.meterId = watch.meterId;
            lost.lostSamples = std::exchange(watch.lost, 0);
            session->queue.push_front({Line(lost)});
        }
    }
    // What the socket takes now goes at once, without an asynchronous
    // write: a client that keeps up costs one send per write, and one
    // that has a backlog gets as much of it as its socket takes in one.
    std::array<asio::const_buffer, kBatch> batch;
    while (!session->queue.empty()) {
        const std::size_t count = std::min(session->queue.size(), kBatch);
        std::size_t size = 0;
        for (std::size_t i = 0; i < count; ++i) {
            batch[i] = asio::buffer(*session->queue[i].line) + (i == 0 ? session->sentOfFirst : 0);
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
            const std::size_t rest = session->queue.front().line->size() - session->sentOfFirst;
            if (left < rest) {
                session->sentOfFirst += left;
                break;
            }
            left -= rest;
            EndGone(session->queue.front());
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
        pending.push_back(asio::buffer(*session->queue[i].line) +
                          (i == 0 ? session->sentOfFirst : 0));
    }
    session->writing = true;
    asio::async_write(
        session->socket, pending, [this, session](const asio::error_code& error, std::size_t) {
            session->writing = false;
            if (session->closed) {
                return;
            }
            const auto sent =
                session->queue.begin() + static_cast<std::ptrdiff_t>(session->inFlight);
            std::for_each(session->queue.begin(), sent, [this](Entry& entry) { EndGone(entry); });
            session->queue.erase(session->queue.begin(), sent);
            session->inFlight = 0;
            session->sentOfFirst = 0;
            if (error) {
                Close(session);
                return;
            }
            Write(session);
        });
}

void CShareService::Impl::Refuse(const SessionPtr& session, const std::string& line) {
    if (session->closing || session->closed) {
        return;
    }
    // Nothing more is sent but this message.
    const auto unsent = session->queue.begin() + static_cast<std::ptrdiff_t>(session->Started());
    std::for_each(unsent, session->queue.end(), [this](Entry& entry) { EndGone(entry); });
    session->queue.erase(unsent, session->queue.end());
    while (!session->watches.empty()) {
        DropWatch(*session, session->watches.back().server);
    }
    session->queue.push_back({std::make_shared<const std::string>(line)});
    session->closing = true;
    Write(session);
}

void CShareService::Impl::Close(const SessionPtr& session) {
    if (session->closed) {
        return;
    }
    session->closed = true;
    while (!session->watches.empty()) {
        DropWatch(*session, session->watches.back().server);
    }
    // The lines stay until a write under way lets go of them; the ends
    // among them will never leave.
    for (Entry& entry : session->queue) {
        EndGone(entry);
    }
    CloseStream(session->socket);
    sessions.erase(session);
}

void CShareService::Impl::End(COwnerServer& server, const std::string& why,
                              const std::string& reason) {
    if (server.m_bEnded) {
        return;
    }
    server.m_bEnded = true;
    server.m_acceptor->listener.Close();
    ShareMessage end;
    end.kind = ShareMessage::Kind::End;
    end.meterId = server.m_settings.meterId;
    end.why = why;
    end.reason = reason;
    const std::shared_ptr<const std::string> line = Line(end);
    // After what is queued: a client that reads gets every sample taken
    // before the end, then the end; a connection that carries no other
    // meter then closes.
    const std::set<SessionPtr> all = sessions;
    for (const SessionPtr& session : all) {
        if (session->closed || session->closing) {
            continue; // told its error already
        }
        const bool carried = session->watched ? session->WatchOf(server.m_nSerial) != nullptr
                                              : session->home == server.m_nSerial;
        if (!carried) {
            continue;
        }
        DropWatch(*session, server.m_nSerial);
        session->closing = session->watches.empty();
        ++server.m_nEndsUnsent;
        Queue(session, {line, 0, server.m_nSerial});
    }
}

void CShareService::Impl::CutOff(COwnerServer& server) {
    const std::set<SessionPtr> all = sessions;
    for (const SessionPtr& session : all) {
        const bool waits =
            std::any_of(session->queue.begin(), session->queue.end(),
                        [&server](const Entry& e) { return e.endOf == server.m_nSerial; });
        if (waits) {
            Close(session);
        }
    }
}

} // namespace zelmora

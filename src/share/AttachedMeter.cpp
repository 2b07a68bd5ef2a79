#include "share/AttachedMeter.h"

#include "share/ShareTransport.h"

#include <array>
#include <condition_variable>
#include <deque>
#include <map>

namespace zelmora {

namespace {

// How long an owner may take to greet and to answer the watch request.
constexpr int kHandshakeSeconds = 3;
// Messages kept for a meter whose front end has not joined yet; more are
// counted as lost.
constexpr std::size_t kMaxEarly = 4096;

// The next whole message, reading more as needed; none when the stream
// ends, fails, times out or brings something that is not a message.
std::optional<ShareMessage> ReadMessage(CShareConnection& connection, CLineSplitter& splitter,
                                        std::string& problem) {
    std::string line;
    std::array<char, 4096> buffer{};
    for (;;) {
        switch (splitter.Next(line)) {
        case CLineSplitter::Result::Line:
            return DecodeMessage(line, problem);
        case CLineSplitter::Result::TooLong:
            problem = "the owner sent a line too long";
            return std::nullopt;
        case CLineSplitter::Result::NeedMore:
            break;
        }
        const std::ptrdiff_t received = connection.Read(buffer.data(), buffer.size(), problem);
        if (received <= 0) {
            if (received == 0) {
                problem = "the owner hung up";
            }
            return std::nullopt;
        }
        splitter.Feed({buffer.data(), static_cast<std::size_t>(received)});
    }
}

} // namespace

struct CAttachedMeter::Watcher {
    explicit Watcher(std::string id) : meterId(std::move(id)) {}

    // On the link's reading thread.
    void Deliver(const ShareMessage& message) {
        std::lock_guard lock(mutex);
        if (detached) {
            return;
        }
        if (listener == nullptr) {
            // What comes between the attach and the front end's join waits
            // for it; what comes after it left is not wanted.
            if (!joined) {
                if (early.size() < kMaxEarly) {
                    early.push_back(message);
                } else {
                    ++earlyLost;
                }
            }
            return;
        }
        Hand(message);
    }

    void Finish(Ending ending) {
        std::lock_guard lock(mutex);
        open = false;
        if (detached || finished) {
            return;
        }
        finished = true;
        if (endingHandler) {
            endingHandler(ending);
        }
    }

    // With `mutex` held.
    void Hand(const ShareMessage& message) {
        if (message.kind == ShareMessage::Kind::Sample) {
            listener->OnReading(message.reading);
        } else if (message.kind == ShareMessage::Kind::Lost) {
            listener->OnReadingsLost(message.lostSamples);
        }
    }

    const std::string meterId;
    std::atomic<bool> open{true};
    // Held while a message or the ending is handed over, so that one who
    // detaches waits for that to end.
    std::mutex mutex;
    ReadingListener* listener = nullptr;       // guarded by mutex
    std::function<void(Ending)> endingHandler; // guarded by mutex
    bool joined = false;                       // guarded by mutex
    bool detached = false;                     // guarded by mutex
    bool finished = false;                     // guarded by mutex
    std::deque<ShareMessage> early;            // guarded by mutex
    std::uint64_t earlyLost = 0;               // guarded by mutex
};

// One connection to an owner, and the meters watched on it.
class CShareLink {
public:
    using Watcher = CAttachedMeter::Watcher;

    CShareLink(std::unique_ptr<CShareConnection> connection, CLineSplitter rest,
               std::int64_t ownerPid, bool joins, const std::shared_ptr<Watcher>& first)
        : m_connection(std::move(connection)), m_splitter(std::move(rest)), m_nOwnerPid(ownerPid),
          m_bJoins(joins), m_strHome(first->meterId) {
        m_watchers.emplace(first->meterId, first);
        m_reader = std::thread([this] { Read(); });
    }
    CShareLink(const CShareLink&) = delete;
    CShareLink& operator=(const CShareLink&) = delete;
    ~CShareLink() {
        m_connection->Interrupt();
        if (m_reader.get_id() == std::this_thread::get_id()) {
            m_reader.detach();
        } else if (m_reader.joinable()) {
            m_reader.join();
        }
    }

    std::int64_t OwnerPid() const { return m_nOwnerPid; }
    bool Joins() const { return m_bJoins; }
    bool Ended() {
        std::lock_guard lock(m_mutex);
        return m_bEnded;
    }

    // Asks for another meter of the owner on this connection: the owner's
    // answer ("watching" or "refused"), none when it gives none in time or
    // the connection ends.
    std::optional<ShareMessage> Join(const std::shared_ptr<Watcher>& watcher, int periodMs) {
        {
            std::lock_guard lock(m_mutex);
            if (m_bEnded || m_watchers.contains(watcher->meterId)) {
                return std::nullopt;
            }
            // Before the request: the samples follow its answer at once.
            m_watchers.emplace(watcher->meterId, watcher);
            m_answers.erase(watcher->meterId);
        }
        ShareMessage watch;
        watch.kind = ShareMessage::Kind::Watch;
        watch.meterId = watcher->meterId;
        watch.intervalMs = periodMs;
        std::optional<ShareMessage> answer;
        if (Send(watch)) {
            std::unique_lock lock(m_mutex);
            m_answered.wait_for(lock, std::chrono::seconds(kHandshakeSeconds),
                                [&] { return m_bEnded || m_answers.contains(watcher->meterId); });
            if (const auto it = m_answers.find(watcher->meterId); it != m_answers.end()) {
                answer = it->second;
                m_answers.erase(it);
            }
        }
        if (!answer || answer->kind != ShareMessage::Kind::Watching) {
            Remove(*watcher, false);
        }
        return answer;
    }

    // Lets go of a meter; the owner is told to stop sending it where the
    // connection goes on for others.
    void Remove(const Watcher& watcher, bool tell) {
        {
            std::lock_guard lock(m_mutex);
            const auto it = m_watchers.find(watcher.meterId);
            if (it == m_watchers.end() || it->second.get() != &watcher) {
                return;
            }
            m_watchers.erase(it);
            tell = tell && !m_bEnded && !m_watchers.empty();
        }
        if (tell) {
            ShareMessage unwatch;
            unwatch.kind = ShareMessage::Kind::Unwatch;
            unwatch.meterId = watcher.meterId;
            (void)Send(unwatch);
        }
    }

private:
    bool Send(const ShareMessage& message) {
        std::lock_guard lock(m_sendMutex);
        return m_connection->SendAll(EncodeMessage(message));
    }

    std::shared_ptr<Watcher> Route(const std::string& meterId, bool remove) {
        std::lock_guard lock(m_mutex);
        const auto it = m_watchers.find(meterId.empty() ? m_strHome : meterId);
        if (it == m_watchers.end()) {
            return nullptr;
        }
        std::shared_ptr<Watcher> watcher = it->second;
        if (remove) {
            m_watchers.erase(it);
        }
        return watcher;
    }

    void Read() {
        Ending ending = Ending::OwnerGone;
        for (;;) {
            std::string problem;
            const std::optional<ShareMessage> message =
                ReadMessage(*m_connection, m_splitter, problem);
            if (!message || message->kind == ShareMessage::Kind::Error) {
                break;
            }
            switch (message->kind) {
            case ShareMessage::Kind::Sample:
            case ShareMessage::Kind::Lost:
                if (const std::shared_ptr<Watcher> watcher = Route(message->meterId, false)) {
                    watcher->Deliver(*message);
                }
                break;
            case ShareMessage::Kind::End:
                if (const std::shared_ptr<Watcher> watcher = Route(message->meterId, true)) {
                    watcher->Finish(message->why == "meter_lost" ? Ending::MeterLost
                                                                 : Ending::OwnerGone);
                }
                break;
            case ShareMessage::Kind::Watching:
            case ShareMessage::Kind::Refused:
                if (!message->meterId.empty()) {
                    std::lock_guard lock(m_mutex);
                    m_answers[message->meterId] = *message;
                    m_answered.notify_all();
                }
                break;
            default:
                break;
            }
        }
        // The connection is over: so is every meter still on it.
        std::map<std::string, std::shared_ptr<Watcher>> left;
        {
            std::lock_guard lock(m_mutex);
            m_bEnded = true;
            left = std::exchange(m_watchers, {});
            m_answered.notify_all();
        }
        for (const auto& [id, watcher] : left) {
            watcher->Finish(ending);
        }
    }

    using Ending = CAttachedMeter::Ending;

    const std::unique_ptr<CShareConnection> m_connection;
    // Read by the reading thread only.
    CLineSplitter m_splitter;
    const std::int64_t m_nOwnerPid;
    const bool m_bJoins;
    // The endpoint's meter: the one whose messages name none.
    const std::string m_strHome;
    std::mutex m_sendMutex;
    std::mutex m_mutex;
    std::condition_variable m_answered;
    std::map<std::string, std::shared_ptr<Watcher>> m_watchers; // guarded by m_mutex
    std::map<std::string, ShareMessage> m_answers;              // guarded by m_mutex
    bool m_bEnded = false;                                      // guarded by m_mutex
    std::thread m_reader;
};

CShareLinks::CShareLinks() = default;
CShareLinks::~CShareLinks() = default;

std::shared_ptr<CShareLink> CShareLinks::Find(std::int64_t ownerPid) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_links, [](const std::weak_ptr<CShareLink>& link) { return link.expired(); });
    for (const std::weak_ptr<CShareLink>& weak : m_links) {
        std::shared_ptr<CShareLink> link = weak.lock();
        if (link && link->OwnerPid() == ownerPid && link->Joins() && !link->Ended()) {
            return link;
        }
    }
    return nullptr;
}

void CShareLinks::Add(const std::shared_ptr<CShareLink>& link) {
    std::lock_guard lock(m_mutex);
    m_links.push_back(link);
}

std::optional<CAttachedMeter::Owner> CAttachedMeter::AskOwner(const std::string& endpointPath) {
    CShareConnection::Failure failure = CShareConnection::Failure::None;
    const std::unique_ptr<CShareConnection> connection =
        CShareConnection::Connect(endpointPath, failure);
    if (!connection) {
        return std::nullopt;
    }
    connection->SetReadTimeout(kHandshakeSeconds);
    CLineSplitter splitter;
    std::string problem;
    const std::optional<ShareMessage> hello = ReadMessage(*connection, splitter, problem);
    if (!hello || hello->kind != ShareMessage::Kind::Hello) {
        return std::nullopt;
    }
    return Owner{hello->ownerPid,   hello->ownerProgram, hello->intervalMs, hello->probeFamily,
                 hello->probeModel, hello->meterId,      hello->devicePath};
}

std::unique_ptr<CAttachedMeter> CAttachedMeter::Attach(CShareLinks& links,
                                                       const std::string& endpointPath,
                                                       const std::string& meterId, int periodMs,
                                                       Outcome& outcome, std::string& problem) {
    outcome = Outcome::NoOwner;
    CShareConnection::Failure failure = CShareConnection::Failure::None;
    std::unique_ptr<CShareConnection> connection = CShareConnection::Connect(endpointPath, failure);
    if (!connection) {
        if (failure == CShareConnection::Failure::OtherUser) {
            outcome = Outcome::Refused;
            problem = "the meter's endpoint belongs to another user";
        }
        return nullptr;
    }
    connection->SetReadTimeout(kHandshakeSeconds);
    CLineSplitter splitter;
    const std::optional<ShareMessage> hello = ReadMessage(*connection, splitter, problem);
    if (!hello || hello->kind != ShareMessage::Kind::Hello) {
        if (hello && hello->kind == ShareMessage::Kind::Error) {
            outcome = Outcome::Refused;
            problem = hello->reason;
        }
        return nullptr;
    }
    if (hello->version != kShareProtocolVersion || hello->meterId != meterId) {
        outcome = Outcome::Refused;
        problem = hello->version != kShareProtocolVersion
                      ? "the meter's owner speaks version " + std::to_string(hello->version) +
                            " of the protocol, this program version " +
                            std::to_string(kShareProtocolVersion)
                      : "the endpoint serves meter " + hello->meterId;
        return nullptr;
    }
    Owner owner{hello->ownerPid,   hello->ownerProgram, hello->intervalMs, hello->probeFamily,
                hello->probeModel, hello->meterId,      hello->devicePath};
    auto watcher = std::make_shared<Watcher>(meterId);
    // Another meter of the same owner is watched already: this one joins
    // its connection, and the one just made only served to learn who owns
    // the meter. Where that does not work out, the new one serves.
    if (hello->joins) {
        if (const std::shared_ptr<CShareLink> link = links.Find(hello->ownerPid)) {
            const std::optional<ShareMessage> answer = link->Join(watcher, periodMs);
            if (answer && answer->kind == ShareMessage::Kind::Watching) {
                outcome = Outcome::Attached;
                return std::unique_ptr<CAttachedMeter>(
                    new CAttachedMeter(link, watcher, std::move(owner), answer->intervalMs));
            }
        }
    }
    ShareMessage watch;
    watch.kind = ShareMessage::Kind::Watch;
    watch.intervalMs = periodMs;
    if (!connection->SendAll(EncodeMessage(watch))) {
        return nullptr;
    }
    const std::optional<ShareMessage> answer = ReadMessage(*connection, splitter, problem);
    if (!answer || answer->kind != ShareMessage::Kind::Watching) {
        if (answer && answer->kind == ShareMessage::Kind::Error) {
            outcome = Outcome::Refused;
            problem = answer->reason;
        }
        return nullptr;
    }
    connection->SetReadTimeout(0);
    outcome = Outcome::Attached;
    auto link = std::make_shared<CShareLink>(std::move(connection), std::move(splitter),
                                             hello->ownerPid, hello->joins, watcher);
    if (hello->joins) {
        links.Add(link);
    }
    return std::unique_ptr<CAttachedMeter>(
        new CAttachedMeter(std::move(link), watcher, std::move(owner), answer->intervalMs));
}

CAttachedMeter::CAttachedMeter(std::shared_ptr<CShareLink> link, std::shared_ptr<Watcher> watcher,
                               Owner owner, int periodMs)
    : m_link(std::move(link)), m_watcher(std::move(watcher)), m_owner(std::move(owner)),
      m_nPeriodMs(periodMs) {}

CAttachedMeter::~CAttachedMeter() {
    {
        // Waits for a message or the ending being handed over now.
        std::lock_guard lock(m_watcher->mutex);
        m_watcher->detached = true;
        m_watcher->listener = nullptr;
    }
    m_link->Remove(*m_watcher, true);
    // The connection closes with the last meter on it.
    m_link.reset();
}

bool CAttachedMeter::IsOpen() const {
    return m_watcher->open.load();
}

void CAttachedMeter::SetEndingHandler(std::function<void(Ending)> handler) {
    std::lock_guard lock(m_watcher->mutex);
    m_watcher->endingHandler = std::move(handler);
}

bool CAttachedMeter::SetPollPeriod(int periodMs, std::string& problem) {
    if (periodMs == m_nPeriodMs) {
        return true;
    }
    problem = "the meter's owner (" + m_owner.program + ", pid " + std::to_string(m_owner.pid) +
              ") polls it every " + std::to_string(m_owner.intervalMs) + " ms";
    return false;
}

void CAttachedMeter::Join(ReadingListener& listener) {
    std::lock_guard lock(m_watcher->mutex);
    m_watcher->listener = &listener;
    if (m_watcher->joined) {
        return;
    }
    m_watcher->joined = true;
    for (const ShareMessage& message : std::exchange(m_watcher->early, {})) {
        m_watcher->Hand(message);
    }
    if (m_watcher->earlyLost > 0) {
        listener.OnReadingsLost(std::exchange(m_watcher->earlyLost, 0));
    }
}

void CAttachedMeter::Leave(ReadingListener& listener, bool) {
    std::lock_guard lock(m_watcher->mutex);
    if (m_watcher->listener == &listener) {
        m_watcher->listener = nullptr;
    }
}

} // namespace zelmora

#include "share/ShareHub.h"

#include "share/AttachedMeter.h"
#include "share/OwnerServer.h"
#include "share/ShareEndpoint.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace zelmora {

namespace {

using std::chrono::milliseconds;

// How often an attach tries again while the lock is held and no owner
// answers yet.
constexpr milliseconds kRetry(20);
// The queue of a client when no capacity is given: five minutes.
constexpr int kClientQueueMs = 5 * 60 * 1000;

} // namespace

struct CShareHub::Held {
    std::shared_ptr<MeterSource> source;
    // Where this process owns the meter: the lock goes last.
    std::unique_ptr<COwnershipLock> lock;
    std::unique_ptr<COwnerServer> server;
    // Where another process owns it: the same object as `source`.
    CAttachedMeter* attached = nullptr;

    ~Held() {
        // The clients are told first, so that they try to take over while
        // the meter is stopped and let go; the lock is released last.
        server.reset();
        source.reset();
        lock.reset();
    }
};

// The source a front end gets: forwards the readings of whatever holds the
// meter now, and hands over when an owner in another process ends.
class CSharedMeter final : public MeterSource, private ReadingListener {
public:
    CSharedMeter(CShareHub& hub, std::string meterId, int periodMs)
        : m_hub(hub), m_meterId(std::move(meterId)), m_nPeriodMs(periodMs) {}

    ~CSharedMeter() override {
        std::thread handOver;
        {
            std::lock_guard lock(m_heldMutex);
            m_bClosing = true;
            handOver = std::move(m_handOver);
        }
        if (handOver.joinable()) {
            handOver.join();
        }
        std::unique_ptr<CShareHub::Held> held;
        {
            std::lock_guard lock(m_heldMutex);
            held = std::move(m_held);
        }
        if (held) {
            bool stop = true;
            {
                std::lock_guard lock(m_listenerMutex);
                stop = m_bStopOnRelease;
            }
            // The clients first: they are told before the meter stops, and
            // the front end's own Stop or StopMeter decides how it stops.
            held->server.reset();
            held->source->Leave(*this, stop);
        }
    }

    bool Start(std::string& problem) {
        std::unique_ptr<CShareHub::Held> held = m_hub.Acquire(m_meterId, m_nPeriodMs, problem);
        if (!held) {
            return false;
        }
        Install(std::move(held));
        return true;
    }

    std::string GetProbeFamily() const override {
        std::lock_guard lock(m_heldMutex);
        return m_held ? m_held->source->GetProbeFamily() : std::string();
    }
    std::string GetProbeModel() const override {
        std::lock_guard lock(m_heldMutex);
        return m_held ? m_held->source->GetProbeModel() : std::string();
    }
    int GetPollPeriod() const override {
        std::lock_guard lock(m_heldMutex);
        return m_held ? m_held->source->GetPollPeriod() : m_nPeriodMs;
    }
    bool IsOpen() const override { return m_bOpen.load(); }

    bool SetPollPeriod(int periodMs, std::string& problem) override {
        std::lock_guard lock(m_heldMutex);
        if (!m_held) {
            return false;
        }
        // Processes that watch at the owner's period keep it.
        if (m_held->server) {
            return m_held->server->SetPollPeriod(periodMs, problem);
        }
        return m_held->source->SetPollPeriod(periodMs, problem);
    }

    void Join(ReadingListener& listener) override {
        std::lock_guard lock(m_listenerMutex);
        if (std::find(m_listeners.begin(), m_listeners.end(), &listener) == m_listeners.end()) {
            m_listeners.push_back(&listener);
        }
    }

    void Leave(ReadingListener& listener, bool stopMeter) override {
        std::lock_guard lock(m_listenerMutex);
        std::erase(m_listeners, &listener);
        m_bStopOnRelease = stopMeter;
    }

    void PollNow() override {
        std::shared_ptr<MeterSource> source;
        {
            std::lock_guard lock(m_heldMutex);
            if (m_held) {
                source = m_held->source;
            }
        }
        if (source) {
            source->PollNow();
        }
    }

private:
    void Install(std::unique_ptr<CShareHub::Held> held) {
        if (held->attached != nullptr) {
            held->attached->SetEndingHandler(
                [this](CAttachedMeter::Ending ending) { OwnerEnded(ending); });
        }
        std::shared_ptr<MeterSource> source = held->source;
        {
            std::lock_guard lock(m_heldMutex);
            m_held = std::move(held);
        }
        source->Join(*this);
        m_bOpen = source->IsOpen();
    }

    // On the attachment's reading thread, which ends right after.
    void OwnerEnded(CAttachedMeter::Ending ending) {
        if (ending == CAttachedMeter::Ending::MeterLost) {
            OnClosed();
            return;
        }
        // The hand-over before this one has installed this attachment and
        // is ending, if it has not ended yet.
        std::thread previous;
        {
            std::lock_guard lock(m_heldMutex);
            if (m_bClosing) {
                return;
            }
            previous = std::move(m_handOver);
        }
        if (previous.joinable()) {
            previous.join();
        }
        std::lock_guard lock(m_heldMutex);
        if (!m_bClosing) {
            m_handOver = std::thread([this] { HandOver(); });
        }
    }

    void HandOver() {
        Tell([](ReadingListener& listener) { listener.OnGap(false); });
        std::unique_ptr<CShareHub::Held> old;
        {
            std::lock_guard lock(m_heldMutex);
            old = std::move(m_held);
        }
        // The attachment's thread has ended (it started this one last).
        old.reset();
        std::string problem;
        std::unique_ptr<CShareHub::Held> held;
        {
            std::lock_guard lock(m_heldMutex);
            if (m_bClosing) {
                return;
            }
        }
        held = m_hub.Acquire(m_meterId, m_nPeriodMs, problem);
        if (!held) {
            OnClosed();
            return;
        }
        Install(std::move(held));
        Tell([](ReadingListener& listener) { listener.OnGap(true); });
    }

    template <typename Call>
    void Tell(const Call& call) {
        std::lock_guard lock(m_listenerMutex);
        for (ReadingListener* listener : m_listeners) {
            call(*listener);
        }
    }

    bool WantsReading() override {
        std::lock_guard lock(m_listenerMutex);
        bool wanted = false;
        for (ReadingListener* listener : m_listeners) {
            wanted = listener->WantsReading() || wanted;
        }
        return wanted;
    }
    void OnReading(const MeterReading& reading) override {
        Tell([&reading](ReadingListener& listener) { listener.OnReading(reading); });
    }
    void OnReadingsLost(std::uint64_t count) override {
        Tell([count](ReadingListener& listener) { listener.OnReadingsLost(count); });
    }
    void OnGap(bool resumed) override {
        Tell([resumed](ReadingListener& listener) { listener.OnGap(resumed); });
    }
    void OnClosed() override {
        m_bOpen = false;
        Tell([](ReadingListener& listener) { listener.OnClosed(); });
    }

    CShareHub& m_hub;
    const std::string m_meterId;
    const int m_nPeriodMs;
    std::atomic<bool> m_bOpen{false};

    mutable std::mutex m_heldMutex;
    std::unique_ptr<CShareHub::Held> m_held; // guarded by m_heldMutex
    bool m_bClosing = false;                 // guarded by m_heldMutex
    std::thread m_handOver;                  // guarded by m_heldMutex

    std::mutex m_listenerMutex;
    std::vector<ReadingListener*> m_listeners; // guarded by m_listenerMutex
    bool m_bStopOnRelease = true;              // guarded by m_listenerMutex
};

CShareHub::Settings CShareHub::FromEnvironment(std::string program) {
    Settings settings;
    settings.program = std::move(program);
    if (const char* queue = std::getenv("ZELMORA_SHARE_QUEUE")) {
        const long long capacity = std::atoll(queue);
        if (capacity > 0) {
            settings.clientQueueCapacity = static_cast<std::size_t>(capacity);
        }
    }
    return settings;
}

CShareHub::CShareHub(UsbDriver& driver, Settings settings)
    : m_settings(std::move(settings)), m_local(driver, m_settings.pollSpeedUp),
      m_work(asio::make_work_guard(m_loop)), m_service(std::make_unique<CShareService>(m_loop)),
      m_links(std::make_unique<CShareLinks>()) {
    m_loopThread = std::thread([this] { m_loop.run(); });
}

CShareHub::~CShareHub() {
    m_work.reset();
    m_loop.stop();
    m_loopThread.join();
}

std::shared_ptr<MeterSource> CShareHub::Open(const std::string& meterId, int periodMs,
                                             std::string& problem) {
    {
        std::lock_guard lock(m_mutex);
        std::erase_if(m_meters, [](const auto& entry) { return entry.second.expired(); });
        for (const auto& [id, weak] : m_meters) {
            if (id != meterId) {
                continue;
            }
            if (std::shared_ptr<CSharedMeter> shared = weak.lock(); shared && shared->IsOpen()) {
                return shared;
            }
        }
    }
    auto shared = std::make_shared<CSharedMeter>(*this, meterId, periodMs);
    if (!shared->Start(problem)) {
        return nullptr;
    }
    std::lock_guard lock(m_mutex);
    m_meters.emplace_back(meterId, shared);
    return shared;
}

std::unique_ptr<CShareHub::Held> CShareHub::Acquire(const std::string& meterId, int periodMs,
                                                    std::string& problem) {
    auto held = std::make_unique<Held>();
    const std::optional<ShareNames> names = NamesOfMeter(meterId, problem);
    if (!names) {
        // Without a folder of our own nothing is shared: the meter is polled
        // here as if no other process could want it.
        held->source = m_local.OpenPoller(meterId, periodMs);
        return held->source ? std::move(held) : nullptr;
    }
    const auto deadline = std::chrono::steady_clock::now() + m_settings.patience;
    for (;;) {
        if (std::unique_ptr<COwnershipLock> lock = COwnershipLock::TryTake(names->lockName)) {
            // The devices other processes poll are not asked who they are.
            std::vector<std::string> foreign;
            for (MeterIdentity& meter : MetersOwnedElsewhere()) {
                foreign.push_back(std::move(meter.path));
            }
            std::shared_ptr<CMeterPoller> poller = m_local.OpenPoller(meterId, periodMs, foreign);
            if (!poller) {
                return nullptr;
            }
            COwnerServer::Settings serving;
            serving.meterId = meterId;
            serving.program = m_settings.program;
            serving.devicePath = poller->GetDevicePath();
            serving.queueCapacity =
                m_settings.clientQueueCapacity > 0
                    ? m_settings.clientQueueCapacity
                    : static_cast<std::size_t>(kClientQueueMs / std::max(periodMs, 1));
            std::string serverProblem;
            // Without an endpoint the meter is still this process's to poll;
            // others wait for it.
            held->server = COwnerServer::Start(*m_service, poller, names->endpointPath,
                                               std::move(serving), serverProblem);
            held->source = std::move(poller);
            held->lock = std::move(lock);
            return held;
        }
        CAttachedMeter::Outcome outcome = CAttachedMeter::Outcome::NoOwner;
        std::unique_ptr<CAttachedMeter> attached = CAttachedMeter::Attach(
            *m_links, names->endpointPath, meterId, periodMs, outcome, problem);
        if (attached) {
            held->attached = attached.get();
            held->source = std::move(attached);
            return held;
        }
        if (outcome == CAttachedMeter::Outcome::Refused) {
            return nullptr;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            problem = "another process holds meter " + meterId + " but does not answer on " +
                      names->endpointPath;
            return nullptr;
        }
        std::this_thread::sleep_for(kRetry);
    }
}

std::optional<CShareHub::Owner> CShareHub::OwnerOf(const std::string& meterId) {
    std::string problem;
    const std::optional<ShareNames> names = NamesOfMeter(meterId, problem);
    if (!names) {
        return std::nullopt;
    }
    const std::optional<CAttachedMeter::Owner> owner =
        CAttachedMeter::AskOwner(names->endpointPath);
    if (!owner) {
        return std::nullopt;
    }
    return Owner{owner->pid, owner->program};
}

std::vector<MeterIdentity> CShareHub::MetersOwnedElsewhere() {
    std::vector<MeterIdentity> meters;
    std::string problem;
    for (const std::string& path : ServedEndpoints()) {
        const std::optional<CAttachedMeter::Owner> owner = CAttachedMeter::AskOwner(path);
        // An owner is believed only at its own meter's endpoint, and only
        // where it says which device it polls.
        if (!owner || owner->devicePath.empty()) {
            continue;
        }
        const std::optional<ShareNames> names = NamesOfMeter(owner->meterId, problem);
        if (!names || names->endpointPath != path) {
            continue;
        }
        meters.push_back(
            {owner->meterId, owner->devicePath, owner->probeModel, owner->probeFamily});
    }
    return meters;
}

} // namespace zelmora

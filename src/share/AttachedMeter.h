#pragma once

// A meter that another process owns, watched through its endpoint: a
// source of the readings the owner sends.
//
// The meters of one owner share one connection where the owner allows it
// (its hello says it joins): the first is watched on a connection of its
// own, the next ones are asked for on that one. A thread per connection
// reads the owner's messages and hands each meter's to its listener.

#include "meter/MeterSource.h"
#include "share/ShareProtocol.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zelmora {

class CShareConnection;
class CShareLink;

// The connections of one process to the owners of the meters it attaches
// to, so that the meters of one owner share one. A process has one (its
// CShareHub's); a benchmark that plays many client programs has one each.
class CShareLinks {
public:
    CShareLinks();
    CShareLinks(const CShareLinks&) = delete;
    CShareLinks& operator=(const CShareLinks&) = delete;
    ~CShareLinks();

private:
    friend class CAttachedMeter;
    // A live connection to the process `ownerPid` that joins meters.
    std::shared_ptr<CShareLink> Find(std::int64_t ownerPid);
    void Add(const std::shared_ptr<CShareLink>& link);

    std::mutex m_mutex;
    std::vector<std::weak_ptr<CShareLink>> m_links; // guarded by m_mutex
};

class CAttachedMeter final : public MeterSource {
public:
    // How a connection ended: the owner stopped or went away (another may
    // take the meter over), or the meter itself was lost.
    enum class Ending { OwnerGone, MeterLost };

    struct Owner {
        std::int64_t pid = 0;
        std::string program;
        int intervalMs = 0;
        std::string probeFamily;
        std::string probeModel;
        std::string meterId;
        std::string devicePath;
    };

    enum class Outcome { Attached, Refused, NoOwner };
    // Attaches to the owner at `endpointPath` and asks for readings every
    // `periodMs`, on a connection of `links` to the same owner where there
    // is one. Refused (with the owner's reason in `problem`) when the owner
    // does not serve that period or this user; NoOwner when no owner
    // answers there (yet).
    static std::unique_ptr<CAttachedMeter> Attach(CShareLinks& links,
                                                  const std::string& endpointPath,
                                                  const std::string& meterId, int periodMs,
                                                  Outcome& outcome, std::string& problem);
    // Who owns the meter at `endpointPath`, from its first message; none
    // when no owner answers.
    static std::optional<Owner> AskOwner(const std::string& endpointPath);

    CAttachedMeter(const CAttachedMeter&) = delete;
    CAttachedMeter& operator=(const CAttachedMeter&) = delete;
    ~CAttachedMeter() override;

    // Called once, on the reading thread, when the owner ends this meter or
    // the connection ends (not when this object lets go of it).
    void SetEndingHandler(std::function<void(Ending)> handler);

    std::string GetProbeFamily() const override { return m_owner.probeFamily; }
    std::string GetProbeModel() const override { return m_owner.probeModel; }
    int GetPollPeriod() const override { return m_nPeriodMs; }
    bool IsOpen() const override;
    bool SetPollPeriod(int periodMs, std::string& problem) override;
    void Join(ReadingListener& listener) override;
    void Leave(ReadingListener& listener, bool stopMeter) override;
    void PollNow() override {}

    const Owner& GetOwner() const { return m_owner; }

    // The owner's messages for one meter of a connection.
    struct Watcher;

private:
    CAttachedMeter(std::shared_ptr<CShareLink> link, std::shared_ptr<Watcher> watcher, Owner owner,
                   int periodMs);

    std::shared_ptr<CShareLink> m_link;
    const std::shared_ptr<Watcher> m_watcher;
    const Owner m_owner;
    const int m_nPeriodMs;
};

} // namespace zelmora

#pragma once

// A meter that another process owns, watched through its endpoint: a
// source of the readings the owner sends. A thread of its own reads the
// owner's messages and hands them to the listener.

#include "meter/MeterSource.h"
#include "share/ShareProtocol.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace zelmora {

class CShareConnection;

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
    // `periodMs`. Refused (with the owner's reason in `problem`) when the
    // owner does not serve that period or this user; NoOwner when no owner
    // answers there (yet).
    static std::unique_ptr<CAttachedMeter> Attach(const std::string& endpointPath,
                                                  const std::string& meterId, int periodMs,
                                                  Outcome& outcome, std::string& problem);
    // Who owns the meter at `endpointPath`, from its first message; none
    // when no owner answers.
    static std::optional<Owner> AskOwner(const std::string& endpointPath);

    CAttachedMeter(const CAttachedMeter&) = delete;
    CAttachedMeter& operator=(const CAttachedMeter&) = delete;
    ~CAttachedMeter() override;

    // Called once, on the reading thread, when the connection ends (not
    // when this object closes it).
    void SetEndingHandler(std::function<void(Ending)> handler);

    std::string GetProbeFamily() const override { return m_owner.probeFamily; }
    std::string GetProbeModel() const override { return m_owner.probeModel; }
    int GetPollPeriod() const override { return m_nPeriodMs; }
    bool IsOpen() const override { return m_bOpen.load(); }
    bool SetPollPeriod(int periodMs, std::string& problem) override;
    void Join(ReadingListener& listener) override;
    void Leave(ReadingListener& listener, bool stopMeter) override;
    void PollNow() override {}

    const Owner& GetOwner() const { return m_owner; }

private:
    CAttachedMeter(std::unique_ptr<CShareConnection> connection, Owner owner, int periodMs,
                   CLineSplitter rest);
    void ReadMessages();

    const std::unique_ptr<CShareConnection> m_connection;
    const Owner m_owner;
    const int m_nPeriodMs;
    // The stream after the handshake (bytes that came with its last line).
    CLineSplitter m_splitter;
    std::atomic<bool> m_bOpen{true};
    std::atomic<bool> m_bClosing{false};

    std::mutex m_listenerMutex;
    ReadingListener* m_pListener = nullptr;      // guarded by m_listenerMutex
    std::function<void(Ending)> m_endingHandler; // guarded by m_listenerMutex
    std::thread m_reader;
};

} // namespace zelmora

#include "share/AttachedMeter.h"

#include "share/ShareTransport.h"

#include <array>

namespace zelmora {

namespace {

// How long an owner may take to greet and to answer the watch request.
constexpr int kHandshakeSeconds = 3;

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

std::unique_ptr<CAttachedMeter> CAttachedMeter::Attach(const std::string& endpointPath,
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
    Owner owner{hello->ownerPid,   hello->ownerProgram, hello->intervalMs, hello->probeFamily,
                hello->probeModel, hello->meterId,      hello->devicePath};
    return std::unique_ptr<CAttachedMeter>(new CAttachedMeter(
        std::move(connection), std::move(owner), answer->intervalMs, std::move(splitter)));
}

CAttachedMeter::CAttachedMeter(std::unique_ptr<CShareConnection> connection, Owner owner,
                               int periodMs, CLineSplitter rest)
    : m_connection(std::move(connection)), m_owner(std::move(owner)), m_nPeriodMs(periodMs),
      m_splitter(std::move(rest)) {}

CAttachedMeter::~CAttachedMeter() {
    m_bClosing = true;
    m_connection->Interrupt();
    if (m_reader.joinable()) {
        m_reader.join();
    }
}

void CAttachedMeter::SetEndingHandler(std::function<void(Ending)> handler) {
    std::lock_guard lock(m_listenerMutex);
    m_endingHandler = std::move(handler);
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
    std::lock_guard lock(m_listenerMutex);
    m_pListener = &listener;
    if (!m_reader.joinable()) {
        m_reader = std::thread([this] { ReadMessages(); });
    }
}

void CAttachedMeter::Leave(ReadingListener& listener, bool) {
    std::lock_guard lock(m_listenerMutex);
    if (m_pListener == &listener) {
        m_pListener = nullptr;
    }
}

void CAttachedMeter::ReadMessages() {
    Ending ending = Ending::OwnerGone;
    for (;;) {
        std::string problem;
        const std::optional<ShareMessage> message = ReadMessage(*m_connection, m_splitter, problem);
        if (!message) {
            break;
        }
        if (message->kind == ShareMessage::Kind::End) {
            ending = message->why == "meter_lost" ? Ending::MeterLost : Ending::OwnerGone;
            break;
        }
        if (message->kind == ShareMessage::Kind::Error) {
            break;
        }
        std::lock_guard lock(m_listenerMutex);
        if (m_pListener == nullptr) {
            continue;
        }
        if (message->kind == ShareMessage::Kind::Sample) {
            m_pListener->OnReading(message->reading);
        } else if (message->kind == ShareMessage::Kind::Lost) {
            m_pListener->OnReadingsLost(message->lostSamples);
        }
    }
    m_bOpen = false;
    if (m_bClosing) {
        return;
    }
    std::function<void(Ending)> handler;
    {
        std::lock_guard lock(m_listenerMutex);
        handler = m_endingHandler;
    }
    if (handler) {
        handler(ending);
    }
}

} // namespace zelmora

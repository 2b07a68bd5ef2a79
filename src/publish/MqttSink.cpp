#include "publish/MqttSink.h"

#include "util/TextFormat.h"

#include <algorithm>
#include <cerrno>
#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace zelmora {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int kQos = 1;
// The broker pings back within this; a link that died silently is noticed
// after one and a half times as long.
constexpr int kKeepAliveSeconds = 30;
// Messages sent and not yet acknowledged: enough to keep a link to a
// distant broker busy, few enough that libmosquitto never queues for us.
constexpr std::uint64_t kWindow = 64;
// How long the broker may take to answer a connection at the start.
constexpr milliseconds kAnswerLimit(10000);
// Reconnection attempts: after a quarter of a second, then twice as long
// each time, at most every 8 s.
constexpr milliseconds kFirstRetry(250);
constexpr milliseconds kLongestRetry(8000);
// The network thread looks at the connection (keep-alive) this often even
// when nothing happens.
constexpr int kIdlePollMs = 1000;

constexpr std::string_view kOnline = "online";
constexpr std::string_view kOffline = "offline";
constexpr std::string_view kLost = "lost";

void InitLibrary() {
    struct Library {
        Library() { mosquitto_lib_init(); }
        ~Library() { mosquitto_lib_cleanup(); }
    };
    static const Library library;
}

// libmosquitto's results that mean the message was not taken; any other
// failure (the connection) leaves it queued there, to be sent again on the
// next connection.
bool NotTaken(int result) {
    switch (result) {
    case MOSQ_ERR_INVAL:
    case MOSQ_ERR_NOMEM:
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_MALFORMED_UTF8:
    case MOSQ_ERR_QOS_NOT_SUPPORTED:
    case MOSQ_ERR_OVERSIZE_PACKET:
    case MOSQ_ERR_NOT_SUPPORTED:
        return true;
    default:
        return false;
    }
}

} // namespace

CMqttSink::CMqttSink(MqttSettings settings)
    : m_settings(std::move(settings)), m_writer(m_settings.unit),
      m_queue(m_settings.queueCapacity) {
    m_nWakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CMqttSink::~CMqttSink() {
    End();
    if (m_pClient != nullptr) {
        mosquitto_destroy(m_pClient);
    }
    if (m_nWakeFd >= 0) {
        ::close(m_nWakeFd);
    }
}

std::string CMqttSink::Describe(int result) const {
    if (result == MOSQ_ERR_ERRNO) {
        return std::error_code(errno, std::generic_category()).message();
    }
    if (result == MOSQ_ERR_CONN_REFUSED || result == MOSQ_ERR_AUTH) {
        std::lock_guard lock(m_mutex);
        if (m_nConnack > 0) {
            std::string why = mosquitto_connack_string(m_nConnack);
            if (why.starts_with("Connection Refused: ")) {
                why.erase(0, 20);
            }
            if (why.ends_with('.')) {
                why.pop_back();
            }
            return "the broker refused the connection: " + why;
        }
    }
    std::lock_guard lock(m_mutex);
    if (result == MOSQ_ERR_TLS && !m_strLibraryError.empty()) {
        return "TLS: " + m_strLibraryError;
    }
    return mosquitto_strerror(result);
}

bool CMqttSink::Connect() {
    InitLibrary();
    if (m_nWakeFd < 0) {
        m_strError = std::error_code(errno, std::generic_category()).message();
        return false;
    }
    m_pClient = mosquitto_new(m_settings.clientId.c_str(), true, this);
    if (m_pClient == nullptr) {
        m_strError = std::error_code(errno, std::generic_category()).message();
        return false;
    }
    mosquitto_int_option(m_pClient, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(m_pClient, static_cast<unsigned>(kWindow));
    mosquitto_connect_callback_set(m_pClient, &CMqttSink::OnConnect);
    mosquitto_publish_callback_set(m_pClient, &CMqttSink::OnPublish);
    mosquitto_log_callback_set(m_pClient, &CMqttSink::OnLog);
    const std::string& topic = m_settings.topic;
    // The broker says "lost" for us when the link dies without a goodbye.
    mosquitto_will_set(m_pClient, topic.c_str(), static_cast<int>(kLost.size()), kLost.data(), kQos,
                       true);
    if (!m_settings.user.empty()) {
        mosquitto_username_pw_set(m_pClient, m_settings.user.c_str(),
                                  m_settings.password ? m_settings.password->c_str() : nullptr);
    }
    if (m_settings.broker.tls) {
        int result = MOSQ_ERR_SUCCESS;
        if (m_settings.caFile.empty()) {
            result = mosquitto_int_option(m_pClient, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        } else {
            result = mosquitto_tls_set(m_pClient, m_settings.caFile.c_str(), nullptr, nullptr,
                                       nullptr, nullptr);
        }
        if (result != MOSQ_ERR_SUCCESS) {
            m_strError = "cannot use the CA certificates " + m_settings.caFile + ": " +
                         mosquitto_strerror(result);
            return false;
        }
    }
    {
        std::lock_guard lock(m_mutex);
        m_retained[topic] = kOnline;
    }

    int result = mosquitto_connect(m_pClient, m_settings.broker.host.c_str(),
                                   m_settings.broker.port, kKeepAliveSeconds);
    const auto limit = steady_clock::now() + kAnswerLimit;
    while (result == MOSQ_ERR_SUCCESS) {
        {
            std::lock_guard lock(m_mutex);
            if (m_bConnected) {
                break;
            }
        }
        if (steady_clock::now() > limit) {
            m_strError = Format("no answer from the broker within %d s",
                                static_cast<int>(kAnswerLimit.count() / 1000));
            return false;
        }
        result = mosquitto_loop(m_pClient, 100, 1);
    }
    if (result != MOSQ_ERR_SUCCESS) {
        m_strError = Describe(result);
        return false;
    }
    m_thread = std::thread([this] { Run(); });
    return true;
}

bool CMqttSink::Begin(const RunMetadata& metadata) {
    std::lock_guard lock(m_mutex);
    for (const RunMeter& meter : metadata.meters) {
        if (m_meterIndex.contains(meter.id)) {
            continue;
        }
        m_meterIndex.emplace(meter.id, m_meterTopics.size());
        m_meterTopics.push_back(m_settings.topic + "/" + TopicLevel(meter.id));
        SetRetained(m_meterTopics.back() + "/status", std::string(kOnline));
        SetRetained(m_meterTopics.back() + "/dropped", "0");
    }
    Wake();
    return true;
}

bool CMqttSink::Write(std::span<const Record> records) {
    std::vector<PublishMessage> messages;
    messages.reserve(records.size());
    for (const Record& record : records) {
        auto found = m_meterIndex.find(record.meter);
        if (found == m_meterIndex.end()) {
            // A meter the metadata did not name: still its own topic.
            found = m_meterIndex.emplace(record.meter, m_meterTopics.size()).first;
            m_meterTopics.push_back(m_settings.topic + "/" + TopicLevel(record.meter));
        }
        PublishMessage message{found->second, m_meterTopics[found->second], {}};
        m_writer.AppendRecord(message.payload, record);
        message.payload.pop_back(); // the line's LF: a message is the object alone
        messages.push_back(std::move(message));
    }
    {
        std::lock_guard lock(m_mutex);
        std::vector<bool> changed(m_meterTopics.size(), false);
        for (PublishMessage& message : messages) {
            const long dropped = m_queue.Push(std::move(message));
            if (dropped >= 0) {
                changed[static_cast<std::size_t>(dropped)] = true;
            }
        }
        for (std::size_t meter = 0; meter < changed.size(); ++meter) {
            if (changed[meter]) {
                SetRetained(m_meterTopics[meter] + "/dropped",
                            std::to_string(m_queue.Dropped(meter)));
            }
        }
    }
    Wake();
    return true;
}

bool CMqttSink::Note(const RunEvent& event) {
    const auto found = m_meterIndex.find(event.meter);
    if (found == m_meterIndex.end()) {
        return true;
    }
    const std::string topic = m_meterTopics[found->second] + "/status";
    {
        std::lock_guard lock(m_mutex);
        if (event.kind == RunEvent::Kind::MeterLost) {
            SetRetained(topic, std::string(kLost));
        } else if (event.kind == RunEvent::Kind::MeterBack) {
            SetRetained(topic, std::string(kOnline));
        }
    }
    Wake();
    return true;
}

bool CMqttSink::End() {
    if (!m_thread.joinable()) {
        return true;
    }
    {
        std::lock_guard lock(m_mutex);
        m_bEnding = true;
        m_lastProgress = steady_clock::now();
    }
    Wake();
    m_thread.join();
    return true;
}

std::string CMqttSink::Error() const {
    std::lock_guard lock(m_mutex);
    return m_strError;
}

PublishCounts CMqttSink::Counts() const {
    std::lock_guard lock(m_mutex);
    return {.connected = m_bConnected,
            .delivered = m_nDelivered,
            .waiting = m_queue.Size() + m_nUnacked,
            .dropped = m_queue.DroppedTotal(),
            .undelivered = m_nUndelivered};
}

void CMqttSink::SetRetained(const std::string& topic, std::string payload) {
    m_retainedToSend[topic] = payload;
    m_retained[topic] = std::move(payload);
}

void CMqttSink::SetOnlineTo(std::string_view status) {
    // A meter that was lost stays lost: that is the news at the end.
    for (auto& [topic, payload] : m_retained) {
        if ((topic == m_settings.topic || topic.ends_with("/status")) && payload == kOnline) {
            payload = status;
            m_retainedToSend[topic] = payload;
        }
    }
}

void CMqttSink::Wake() {
    const std::uint64_t one = 1;
    // A full counter already wakes the thread.
    [[maybe_unused]] const ssize_t written = ::write(m_nWakeFd, &one, sizeof one);
}

bool CMqttSink::Publish(const std::string& topic, const std::string& payload, bool retained,
                        bool record) {
    int messageId = 0;
    const int result =
        mosquitto_publish(m_pClient, &messageId, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), kQos, retained);
    if (NotTaken(result)) {
        return false;
    }
    m_inflight.emplace(messageId, record);
    return true;
}

void CMqttSink::Run() {
    milliseconds retry = kFirstRetry;
    auto nextAttempt = steady_clock::now();
    bool open = true;
    bool triedAtEnd = false;
    std::vector<PublishMessage> records;
    std::vector<std::pair<std::string, std::string>> retained;
    while (true) {
        records.clear();
        retained.clear();
        bool finished = false;
        bool ending = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_bConnected) {
                retry = kFirstRetry;
                retained.assign(m_retainedToSend.begin(), m_retainedToSend.end());
                m_retainedToSend.clear();
                while (m_nUnacked < kWindow && !m_queue.Empty()) {
                    records.push_back(m_queue.Pop());
                    ++m_nUnacked;
                }
            }
            ending = m_bEnding;
            if (ending) {
                const bool drained = m_queue.Empty() && m_inflight.empty() && retained.empty() &&
                                     m_retainedToSend.empty() && records.empty();
                if (drained && !m_bFinalStatusQueued) {
                    // Offline only once every record is in, so that no
                    // record follows it.
                    SetOnlineTo(kOffline);
                    m_bFinalStatusQueued = true;
                    continue;
                }
                finished = drained || steady_clock::now() > m_lastProgress + m_settings.endWait;
            }
        }
        if (finished) {
            break;
        }
        for (const auto& [topic, payload] : retained) {
            Publish(topic, payload, true, false);
        }
        for (const PublishMessage& record : records) {
            if (!Publish(record.topic, record.payload, false, true)) {
                std::lock_guard lock(m_mutex);
                --m_nUnacked;
                ++m_nUndelivered;
            }
        }

        if (open) {
            pollfd fds[2] = {{mosquitto_socket(m_pClient), POLLIN, 0}, {m_nWakeFd, POLLIN, 0}};
            if (mosquitto_want_write(m_pClient)) {
                fds[0].events |= POLLOUT;
            }
            ::poll(fds, 2, kIdlePollMs);
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t read = ::read(m_nWakeFd, &count, sizeof count);
            const int result = mosquitto_loop(m_pClient, 0, 1);
            if (result != MOSQ_ERR_SUCCESS) {
                open = false;
                const std::string why = Describe(result);
                std::lock_guard lock(m_mutex);
                m_bConnected = false;
                m_strError = why;
                nextAttempt = steady_clock::now() + retry;
            }
            continue;
        }
        // Away: the next attempt, or sooner when the run ends (one more
        // try at once).
        if (ending && !triedAtEnd) {
            triedAtEnd = true;
            retry = kFirstRetry;
            nextAttempt = steady_clock::now();
        }
        const auto now = steady_clock::now();
        if (now < nextAttempt) {
            pollfd wake{m_nWakeFd, POLLIN, 0};
            const auto wait = std::chrono::duration_cast<milliseconds>(nextAttempt - now);
            ::poll(&wake, 1,
                   static_cast<int>(std::min<milliseconds::rep>(wait.count() + 1, kIdlePollMs)));
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t read = ::read(m_nWakeFd, &count, sizeof count);
            continue;
        }
        const int result = mosquitto_reconnect(m_pClient);
        if (result == MOSQ_ERR_SUCCESS) {
            open = true;
        } else {
            const std::string why = Describe(result);
            std::lock_guard lock(m_mutex);
            m_strError = why;
        }
        nextAttempt = steady_clock::now() + retry;
        retry = std::min(retry * 2, kLongestRetry);
    }

    if (open) {
        // An orderly goodbye: the broker drops the last will.
        mosquitto_disconnect(m_pClient);
        for (int i = 0; i < 10 && mosquitto_socket(m_pClient) >= 0; ++i) {
            if (mosquitto_loop(m_pClient, 100, 1) != MOSQ_ERR_SUCCESS) {
                break;
            }
        }
    }
    std::lock_guard lock(m_mutex);
    m_bConnected = false;
    const auto unacked = static_cast<std::uint64_t>(std::count_if(
        m_inflight.begin(), m_inflight.end(), [](const auto& m) { return m.second; }));
    m_nUndelivered += m_queue.Size() + unacked;
    while (!m_queue.Empty()) {
        m_queue.Pop();
    }
    m_nUnacked = 0;
    if (m_nUndelivered > 0 && m_strError.empty()) {
        m_strError = "the broker did not acknowledge them in time";
    }
}

void CMqttSink::OnConnect(mosquitto* /*client*/, void* self, int code) {
    auto& sink = *static_cast<CMqttSink*>(self);
    std::lock_guard lock(sink.m_mutex);
    sink.m_nConnack = code;
    if (code == 0) {
        sink.m_bConnected = true;
        sink.m_strError.clear();
        // Whatever the broker kept of them, it hears every status again.
        sink.m_retainedToSend = sink.m_retained;
    }
}

void CMqttSink::OnPublish(mosquitto* /*client*/, void* self, int messageId) {
    auto& sink = *static_cast<CMqttSink*>(self);
    const auto found = sink.m_inflight.find(messageId);
    if (found == sink.m_inflight.end()) {
        return;
    }
    const bool record = found->second;
    sink.m_inflight.erase(found);
    std::lock_guard lock(sink.m_mutex);
    sink.m_lastProgress = std::chrono::steady_clock::now();
    if (record) {
        --sink.m_nUnacked;
        ++sink.m_nDelivered;
    }
}

void CMqttSink::OnLog(mosquitto* /*client*/, void* self, int level, const char* text) {
    if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) == 0 || text == nullptr) {
        return;
    }
    auto& sink = *static_cast<CMqttSink*>(self);
    std::lock_guard lock(sink.m_mutex);
    sink.m_strLibraryError = text;
}

} // namespace zelmora

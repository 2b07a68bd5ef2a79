#pragma once

// A run's records published to an MQTT broker with libmosquitto, one
// message per record:
//
//   TOPIC/{meter}          the record as a JSON object (QoS 1)
//   TOPIC/{meter}/status   retained: online, offline (the run ended) or lost
//                          (the meter stopped answering)
//   TOPIC/{meter}/dropped  retained: how many of the meter's records the
//                          queue let go in this run
//   TOPIC                  retained: online while the program is connected,
//                          offline after an orderly end, lost (the broker's
//                          last will) when the program or its link died
//
// The run only queues: one thread of the sink's own does all the talking
// to the broker, so a broker that is slow or away never holds the run up.
// While it is away the thread reconnects with a growing delay and the
// records wait in a bounded queue that lets the oldest go when it is full.

#include "publish/BrokerAddress.h"
#include "publish/MessageQueue.h"
#include "publish/PublishSink.h"
#include "record/JsonLinesRecordWriter.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

struct mosquitto;

namespace zelmora {

// Records that wait for a broker that is away: 15 meters at 100 ms for
// more than ten minutes, in some 30 MB.
inline constexpr std::size_t kDefaultMqttQueue = 100000;

struct MqttSettings {
    BrokerAddress broker;
    std::string topic;
    // mqtts: the certificates the broker's must chain to; empty: the
    // system's trusted ones.
    std::string caFile;
    // Empty: connect without a user name.
    std::string user;
    std::optional<std::string> password;
    // Unique among the broker's clients.
    std::string clientId;
    std::size_t queueCapacity = kDefaultMqttQueue;
    // The unit the records carry their power in.
    RecordUnit unit = RecordUnit::W;
    // At the end, how long to wait for the broker while it acknowledges
    // nothing before the records still waiting are given up.
    std::chrono::milliseconds endWait{5000};
};

class CMqttSink final : public PublishSink {
public:
    explicit CMqttSink(MqttSettings settings);
    CMqttSink(const CMqttSink&) = delete;
    CMqttSink& operator=(const CMqttSink&) = delete;
    ~CMqttSink() override;

    bool Connect() override;
    bool Begin(const RunMetadata& metadata) override;
    bool Write(std::span<const Record> records) override;
    bool Note(const RunEvent& event) override;
    // Waits until the broker has acknowledged everything queued (while it
    // keeps acknowledging), says offline and disconnects.
    bool End() override;
    std::string Error() const override;
    PublishCounts Counts() const override;
    std::string Name() const override { return m_settings.broker.Url(); }

    // The longest topic that leaves room for the meters' levels below it.
    static constexpr std::size_t kMaxTopicLength = 60000;

    // Why `topic` cannot carry records (a broker's own $ topic, too long, a
    // control character, a wildcard, an empty level at its end, not UTF-8);
    // empty when it can.
    static std::string CheckTopic(std::string_view topic);
    // A meter id as one topic level: the characters that MQTT gives a
    // meaning to ('/', '+', '#'), control characters and every byte
    // outside ASCII become '_'. The id is nine bytes from the device,
    // which need not be UTF-8, and a broker refuses a topic that is not.
    static std::string TopicLevel(std::string_view meterId);

private:
    // The network thread: every call into libmosquitto after Connect.
    void Run();
    // Publishes one message; false when libmosquitto would not take it.
    bool Publish(const std::string& topic, const std::string& payload, bool retained, bool record);
    void Wake();
    // The current value of a retained topic, sent now or after the next
    // connection. Under m_mutex.
    void SetRetained(const std::string& topic, std::string payload);
    // Every status that says online says `status` instead.
    void SetOnlineTo(std::string_view status);
    std::string Describe(int result) const;

    static void OnConnect(mosquitto* client, void* self, int code);
    static void OnPublish(mosquitto* client, void* self, int messageId);
    static void OnLog(mosquitto* client, void* self, int level, const char* text);

    MqttSettings m_settings;
    CJsonLinesRecordWriter m_writer;
    // Owned by one thread at a time: Connect's caller, then the network
    // thread until End has joined it.
    mosquitto* m_pClient = nullptr;
    int m_nWakeFd = -1;
    std::thread m_thread;

    // The run's thread only (Begin, Write, Note).
    std::vector<std::string> m_meterTopics;
    std::map<std::string, std::size_t, std::less<>> m_meterIndex;

    // The network thread only.
    // Messages sent and not yet acknowledged: whether each is a record.
    std::unordered_map<int, bool> m_inflight;

    mutable std::mutex m_mutex;
    CMessageQueue m_queue;
    std::map<std::string, std::string> m_retained;
    std::map<std::string, std::string> m_retainedToSend;
    bool m_bConnected = false;
    // The broker's answer to the last connection; -1 before it came.
    int m_nConnack = -1;
    bool m_bEnding = false;
    bool m_bFinalStatusQueued = false;
    std::uint64_t m_nDelivered = 0;
    std::uint64_t m_nUnacked = 0;
    std::uint64_t m_nUndelivered = 0;
    std::chrono::steady_clock::time_point m_lastProgress{};
    std::string m_strError;
    // The last error libmosquitto logged (OpenSSL's reason, for one).
    std::string m_strLibraryError;
};

} // namespace zelmora

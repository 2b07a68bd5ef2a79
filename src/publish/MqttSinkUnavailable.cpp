// The MQTT sink where the program has no MQTT client: the Windows build
// (libmosquitto has no MinGW build here). The options are read as on
// Linux; a run that asks for a broker fails before any meter is started,
// and says why.

#include "publish/MqttSink.h"

namespace zelmora {

CMqttSink::CMqttSink(MqttSettings settings)
    : m_settings(std::move(settings)), m_writer(m_settings.unit),
      m_queue(m_settings.queueCapacity) {}

CMqttSink::~CMqttSink() = default;

bool CMqttSink::Connect() {
    std::lock_guard lock(m_mutex);
    m_strError = "this Windows build has no MQTT client (publishing is in the Linux program)";
    return false;
}

bool CMqttSink::Begin(const RunMetadata& /*metadata*/) {
    return false;
}

bool CMqttSink::Write(std::span<const Record> /*records*/) {
    return false;
}

bool CMqttSink::Note(const RunEvent& /*event*/) {
    return false;
}

bool CMqttSink::End() {
    return true;
}

std::string CMqttSink::Error() const {
    std::lock_guard lock(m_mutex);
    return m_strError;
}

PublishCounts CMqttSink::Counts() const {
    return {};
}

} // namespace zelmora

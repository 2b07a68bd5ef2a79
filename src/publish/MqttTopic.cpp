// The checks of a topic and a meter's level in it, the same where the
// program has an MQTT client and where it has none: a command line is
// refused for the same reasons on every platform.

#include "publish/MqttSink.h"
#include "util/TextFormat.h"

namespace zelmora {

std::string CMqttSink::CheckTopic(std::string_view topic) {
    if (topic.empty()) {
        return "is empty";
    }
    // Brokers keep the topics that begin with $ for themselves ($SYS/...)
    // and quietly drop what a client publishes there.
    if (topic.front() == '$') {
        return "begins with $, which brokers keep for their own topics";
    }
    // Room for the meter's levels below it within MQTT's 65535 bytes.
    if (topic.size() > kMaxTopicLength) {
        return Format("is too long: %llu bytes, at most %llu",
                      static_cast<unsigned long long>(topic.size()),
                      static_cast<unsigned long long>(kMaxTopicLength));
    }
    // A broker refuses a topic with a control character (U+0000 to U+001F,
    // U+007F to U+009F).
    for (std::size_t i = 0; i < topic.size(); ++i) {
        const auto byte = static_cast<unsigned char>(topic[i]);
        const bool c1 = byte == 0xc2 && i + 1 < topic.size() &&
                        static_cast<unsigned char>(topic[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(topic[i + 1]) <= 0x9f;
        if (byte < 0x20 || byte == 0x7f || c1) {
            return "holds a control character";
        }
    }
    if (topic.find_first_of("+#") != std::string_view::npos) {
        return "holds a wildcard (+ or #)";
    }
    if (topic.back() == '/') {
        return "ends with /";
    }
    if (!IsWellFormedUtf8(topic)) {
        return "is not UTF-8 text";
    }
    return {};
}

std::string CMqttSink::TopicLevel(std::string_view meterId) {
    std::string level(meterId);
    for (char& c : level) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '+' || c == '#' || byte < 0x20 || byte >= 0x7f) {
            c = '_';
        }
    }
    return level.empty() ? "_" : level;
}

} // namespace zelmora

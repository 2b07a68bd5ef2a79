#include "share/ShareProtocol.h"

#include <array>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace zelmora {

namespace {

using nlohmann::json;

constexpr std::array<std::pair<ShareMessage::Kind, std::string_view>, 9> kClasses{{
    {ShareMessage::Kind::Hello, "hello"},
    {ShareMessage::Kind::Watch, "watch"},
    {ShareMessage::Kind::Watching, "watching"},
    {ShareMessage::Kind::Sample, "sample"},
    {ShareMessage::Kind::Lost, "lost"},
    {ShareMessage::Kind::End, "end"},
    {ShareMessage::Kind::Error, "error"},
    {ShareMessage::Kind::Unwatch, "unwatch"},
    {ShareMessage::Kind::Refused, "refused"},
}};

// The longest text field; ids and probe codes are far shorter.
constexpr std::size_t kMaxText = 512;
// Poll periods as the link accepts them.
constexpr std::int64_t kMinIntervalMs = 100;
constexpr std::int64_t kMaxIntervalMs = 0x7FFFFFFF;

std::string_view NameOf(ShareMessage::Kind kind) {
    for (const auto& [k, name] : kClasses) {
        if (k == kind) {
            return name;
        }
    }
    return "error";
}

template <typename Clock>
std::int64_t Nanoseconds(typename Clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

template <typename Clock>
typename Clock::time_point TimeOf(std::int64_t nanoseconds) {
    return typename Clock::time_point(std::chrono::duration_cast<typename Clock::duration>(
        std::chrono::nanoseconds(nanoseconds)));
}

// The checked readers of one object: each says what is missing or wrong.
class Fields {
public:
    Fields(const json& object, std::string& error) : m_object(object), m_error(error) {}

    bool Text(const char* name, std::string& out, bool required = true) {
        const auto it = m_object.find(name);
        if (it == m_object.end()) {
            return !required || Fail(name, "is missing");
        }
        if (!it->is_string() || it->get_ref<const std::string&>().size() > kMaxText) {
            return Fail(name, "is not a short text");
        }
        out = it->get<std::string>();
        return true;
    }

    bool Integer(const char* name, std::int64_t min, std::int64_t max, std::int64_t& out) {
        const auto it = m_object.find(name);
        if (it == m_object.end()) {
            return Fail(name, "is missing");
        }
        if (it->is_number_unsigned()) {
            const auto value = it->get<std::uint64_t>();
            if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return Fail(name, "is out of range");
            }
            out = static_cast<std::int64_t>(value);
        } else if (it->is_number_integer()) {
            out = it->get<std::int64_t>();
        } else {
            return Fail(name, "is not an integer");
        }
        return out >= min && out <= max ? true : Fail(name, "is out of range");
    }

    bool Flag(const char* name, bool& out) {
        const auto it = m_object.find(name);
        if (it == m_object.end()) {
            out = false;
            return true;
        }
        if (!it->is_boolean()) {
            return Fail(name, "is neither true nor false");
        }
        out = it->get<bool>();
        return true;
    }

    bool Unsigned(const char* name, std::uint64_t& out) {
        const auto it = m_object.find(name);
        if (it == m_object.end()) {
            return Fail(name, "is missing");
        }
        if (!it->is_number_unsigned()) {
            return Fail(name, "is not a count");
        }
        out = it->get<std::uint64_t>();
        return true;
    }

private:
    bool Fail(const char* name, const char* what) {
        m_error = std::string("\"") + name + "\" " + what;
        return false;
    }

    const json& m_object;
    std::string& m_error;
};

bool DecodeFields(const json& object, ShareMessage& m, std::string& error) {
    Fields f(object, error);
    std::int64_t number = 0;
    switch (m.kind) {
    case ShareMessage::Kind::Hello: {
        std::string magic;
        if (!f.Text("zelmora", magic)) {
            return false;
        }
        if (magic != "share") {
            error = "not a meter's endpoint";
            return false;
        }
        if (!f.Integer("version", 1, 1000000, number)) {
            return false;
        }
        m.version = static_cast<int>(number);
        if (!f.Text("meter", m.meterId) || !f.Text("probe_family", m.probeFamily) ||
            !f.Text("probe_model", m.probeModel) || !f.Text("program", m.ownerProgram) ||
            !f.Integer("pid", 0, std::numeric_limits<std::int64_t>::max(), m.ownerPid) ||
            !f.Integer("interval_ms", kMinIntervalMs, kMaxIntervalMs, number) ||
            !f.Text("path", m.devicePath, false) || !f.Flag("joins", m.joins)) {
            return false;
        }
        m.intervalMs = static_cast<int>(number);
        return true;
    }
    case ShareMessage::Kind::Watch:
        if (!f.Integer("interval_ms", kMinIntervalMs, kMaxIntervalMs, number) ||
            !f.Text("meter", m.meterId, false)) {
            return false;
        }
        m.intervalMs = static_cast<int>(number);
        return true;
    case ShareMessage::Kind::Unwatch:
        return f.Text("meter", m.meterId);
    case ShareMessage::Kind::Refused:
        return f.Text("meter", m.meterId) && f.Text("reason", m.reason);
    case ShareMessage::Kind::Watching:
        if (!f.Text("meter", m.meterId, false) ||
            !f.Integer("interval_ms", kMinIntervalMs, kMaxIntervalMs, number)) {
            return false;
        }
        m.intervalMs = static_cast<int>(number);
        if (!f.Integer("every", 1, kMaxIntervalMs, number)) {
            return false;
        }
        m.every = static_cast<int>(number);
        return true;
    case ShareMessage::Kind::Sample: {
        std::uint64_t sequence = 0;
        std::int64_t utc = 0;
        std::int64_t mono = 0;
        std::int64_t wavelength = 0;
        std::int64_t reading = 0;
        std::int64_t range = 0;
        if (!f.Unsigned("seq", sequence) || !f.Integer("wavelength", 0, 0xFFFF, wavelength) ||
            !f.Integer("reading", 0, 0xFFFF, reading) || !f.Integer("range", 0, 0xFF, range) ||
            !f.Integer("utc_ns", std::numeric_limits<std::int64_t>::min(),
                       std::numeric_limits<std::int64_t>::max(), utc) ||
            !f.Integer("mono_ns", std::numeric_limits<std::int64_t>::min(),
                       std::numeric_limits<std::int64_t>::max(), mono) ||
            !f.Text("status", m.status) || !f.Text("unit", m.unit) ||
            !f.Text("meter", m.meterId, false)) {
            return false;
        }
        m.reading.sequence = sequence;
        m.reading.wavelength = static_cast<int>(wavelength);
        m.reading.reading = static_cast<unsigned>(reading);
        m.reading.range = static_cast<unsigned>(range);
        m.reading.utcTime = TimeOf<std::chrono::system_clock>(utc);
        m.reading.monotonicTime = TimeOf<std::chrono::steady_clock>(mono);
        const auto power = object.find("power");
        if (power == object.end() || power->is_null()) {
            m.power.reset();
        } else if (power->is_number() && std::isfinite(power->get<double>())) {
            m.power = power->get<double>();
        } else {
            error = "\"power\" is not a number";
            return false;
        }
        return true;
    }
    case ShareMessage::Kind::Lost:
        return f.Unsigned("samples", m.lostSamples) && f.Text("meter", m.meterId, false);
    case ShareMessage::Kind::End:
        if (!f.Text("why", m.why) || !f.Text("reason", m.reason, false) ||
            !f.Text("meter", m.meterId, false)) {
            return false;
        }
        if (m.why != "owner_stops" && m.why != "meter_lost") {
            error = "\"why\" is neither owner_stops nor meter_lost";
            return false;
        }
        return true;
    case ShareMessage::Kind::Error:
        return f.Text("reason", m.reason);
    }
    return false;
}

} // namespace

std::string EncodeMessage(const ShareMessage& m) {
    json object;
    object["class"] = NameOf(m.kind);
    switch (m.kind) {
    case ShareMessage::Kind::Hello:
        object["zelmora"] = "share";
        object["version"] = m.version;
        object["meter"] = m.meterId;
        object["probe_family"] = m.probeFamily;
        object["probe_model"] = m.probeModel;
        object["interval_ms"] = m.intervalMs;
        object["pid"] = m.ownerPid;
        object["program"] = m.ownerProgram;
        if (!m.devicePath.empty()) {
            object["path"] = m.devicePath;
        }
        if (m.joins) {
            object["joins"] = true;
        }
        break;
    case ShareMessage::Kind::Watch:
        object["interval_ms"] = m.intervalMs;
        break;
    case ShareMessage::Kind::Watching:
        object["interval_ms"] = m.intervalMs;
        object["every"] = m.every;
        break;
    case ShareMessage::Kind::Unwatch:
        break;
    case ShareMessage::Kind::Refused:
        object["reason"] = m.reason;
        break;
    case ShareMessage::Kind::Sample:
        object["seq"] = m.reading.sequence;
        object["wavelength"] = m.reading.wavelength;
        object["reading"] = m.reading.reading;
        object["range"] = m.reading.range;
        if (m.power) {
            object["power"] = *m.power;
        } else {
            object["power"] = nullptr;
        }
        object["unit"] = m.unit;
        object["status"] = m.status;
        object["utc_ns"] = Nanoseconds<std::chrono::system_clock>(m.reading.utcTime);
        object["mono_ns"] = Nanoseconds<std::chrono::steady_clock>(m.reading.monotonicTime);
        break;
    case ShareMessage::Kind::Lost:
        object["samples"] = m.lostSamples;
        break;
    case ShareMessage::Kind::End:
        object["why"] = m.why;
        object["reason"] = m.reason;
        break;
    case ShareMessage::Kind::Error:
        object["reason"] = m.reason;
        break;
    }
    // Every message but the hello names its meter where one is given: the
    // meters an owner serves on one connection tell theirs apart by it.
    if (m.kind != ShareMessage::Kind::Hello && !m.meterId.empty()) {
        object["meter"] = m.meterId;
    }
    std::string line = object.dump(-1, ' ', false, json::error_handler_t::replace);
    line.push_back('\n');
    return line;
}

std::optional<ShareMessage> DecodeMessage(std::string_view line, std::string& error) {
    if (line.size() >= kMaxLineLength) {
        error = "the line is too long";
        return std::nullopt;
    }
    const json object = json::parse(line, nullptr, false);
    if (object.is_discarded() || !object.is_object()) {
        error = "not a JSON object";
        return std::nullopt;
    }
    const auto kindField = object.find("class");
    if (kindField == object.end() || !kindField->is_string()) {
        error = "no \"class\"";
        return std::nullopt;
    }
    ShareMessage message;
    bool known = false;
    for (const auto& [kind, name] : kClasses) {
        if (kindField->get_ref<const std::string&>() == name) {
            message.kind = kind;
            known = true;
        }
    }
    if (!known) {
        error = "an unknown class";
        return std::nullopt;
    }
    if (!DecodeFields(object, message, error)) {
        return std::nullopt;
    }
    return message;
}

void CLineSplitter::Feed(std::string_view bytes) {
    // What was taken goes before more comes, so that the buffer holds at
    // most one partial line beside the new bytes.
    m_buffer.erase(0, m_nStart);
    m_nScanned -= m_nStart;
    m_nStart = 0;
    m_buffer.append(bytes);
}

CLineSplitter::Result CLineSplitter::Next(std::string& line) {
    const std::size_t end = m_buffer.find('\n', m_nScanned);
    if (end == std::string::npos) {
        m_nScanned = m_buffer.size();
        return m_buffer.size() - m_nStart >= kMaxLineLength ? Result::TooLong : Result::NeedMore;
    }
    if (end + 1 - m_nStart > kMaxLineLength) {
        return Result::TooLong;
    }
    line.assign(m_buffer, m_nStart, end - m_nStart);
    m_nStart = end + 1;
    m_nScanned = m_nStart;
    return Result::Line;
}

} // namespace zelmora

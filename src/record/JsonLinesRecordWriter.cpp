#include "record/JsonLinesRecordWriter.h"

#include "record/RecordText.h"

namespace zelmora {

namespace {

void AppendKey(std::string& out, std::string_view key) {
    AppendJsonString(out, key);
    out.push_back(':');
}

} // namespace

CJsonLinesRecordWriter::CJsonLinesRecordWriter(RecordUnit unit) : m_unit(unit) {
    AppendKey(m_powerKey, "power_" + std::string(UnitName(unit)));
}

void CJsonLinesRecordWriter::AppendMetadata(std::string& out, const RunMetadata& metadata,
                                            bool /*continuing*/) const {
    // "key": before each member, the comma before all but an object's first.
    auto member = [&out](std::string_view key) {
        if (out.back() != '{') {
            out.push_back(',');
        }
        AppendKey(out, key);
    };
    auto text = [&](std::string_view key, std::string_view value) {
        member(key);
        AppendJsonString(out, value);
    };
    auto number = [&](std::string_view key, long long value) {
        member(key);
        AppendInteger(out, value);
    };
    out.push_back('{');
    text("program", metadata.program);
    text("version", metadata.version);
    text("started_utc", FormatUtcTime(metadata.started));
    number("interval_ms", metadata.intervalMs);
    number("averaging", metadata.averaging);
    text("unit", UnitName(metadata.unit));
    member("fields");
    out.push_back('[');
    for (const std::string& field : RecordFieldNames(m_unit)) {
        if (out.back() != '[') {
            out.push_back(',');
        }
        AppendJsonString(out, field);
    }
    out.push_back(']');
    member("meters");
    out.push_back('[');
    for (const RunMeter& meter : metadata.meters) {
        out.append(out.back() == '[' ? "{" : ",{");
        text("id", meter.id);
        text("probe_family", meter.probeFamily);
        text("probe_model", meter.probeModel);
        member("wavelength_nm");
        if (meter.wavelength) {
            AppendInteger(out, *meter.wavelength);
        } else {
            out.append("null");
        }
        out.push_back('}');
    }
    out.append("]}\n");
}

void CJsonLinesRecordWriter::AppendRecord(std::string& out, const Record& record) const {
    out.append("{\"time_utc\":\"");
    AppendUtcTime(out, record.utcTime);
    out.append("\",\"elapsed_s\":");
    AppendNumber(out, static_cast<double>(record.elapsedMs) / 1000);
    out.append(",\"meter\":");
    AppendJsonString(out, record.meter);
    out.append(",\"count\":");
    AppendInteger(out, record.count);
    out.push_back(',');
    out.append(m_powerKey);
    if (record.power) {
        AppendNumber(out, *record.power);
    } else {
        out.append("null");
    }
    out.append(",\"status\":\"");
    out.append(StatusName(record.status));
    out.append("\",\"range\":");
    AppendInteger(out, record.range);
    out.append(",\"wavelength_nm\":");
    AppendInteger(out, record.wavelength);
    out.append("}\n");
}

void CJsonLinesRecordWriter::AppendEvent(std::string& out, const RunEvent& event) const {
    out.push_back('{');
    AppendKey(out, "event");
    AppendJsonString(out, EventName(event.kind));
    out.push_back(',');
    AppendKey(out, "time_utc");
    AppendJsonString(out, FormatUtcTime(event.utcTime));
    out.push_back(',');
    AppendKey(out, "meter");
    AppendJsonString(out, event.meter);
    if (event.kind == RunEvent::Kind::SamplesLost) {
        out.push_back(',');
        AppendKey(out, "samples");
        AppendInteger(out, static_cast<long long>(event.samples));
    }
    if (!event.detail.empty()) {
        out.push_back(',');
        AppendKey(out, "detail");
        AppendJsonString(out, event.detail);
    }
    out.append("}\n");
}

} // namespace zelmora

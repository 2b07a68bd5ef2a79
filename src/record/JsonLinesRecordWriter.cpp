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
    out.push_back('{');
    AppendKey(out, "program");
    AppendJsonString(out, metadata.program);
    out.push_back(',');
    AppendKey(out, "version");
    AppendJsonString(out, metadata.version);
    out.push_back(',');
    AppendKey(out, "started_utc");
    AppendJsonString(out, FormatUtcTime(metadata.started));
    out.push_back(',');
    AppendKey(out, "interval_ms");
    AppendInteger(out, metadata.intervalMs);
    out.push_back(',');
    AppendKey(out, "averaging");
    AppendInteger(out, metadata.averaging);
    out.push_back(',');
    AppendKey(out, "unit");
    AppendJsonString(out, UnitName(metadata.unit));
    out.push_back(',');
    AppendKey(out, "fields");
    out.push_back('[');
    const auto fields = RecordFieldNames(m_unit);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            out.push_back(',');
        }
        AppendJsonString(out, fields[i]);
    }
    out.append("],");
    AppendKey(out, "meters");
    out.push_back('[');
    for (std::size_t i = 0; i < metadata.meters.size(); ++i) {
        const RunMeter& meter = metadata.meters[i];
        out.append(i > 0 ? ",{" : "{");
        AppendKey(out, "id");
        AppendJsonString(out, meter.id);
        out.push_back(',');
        AppendKey(out, "probe_family");
        AppendJsonString(out, meter.probeFamily);
        out.push_back(',');
        AppendKey(out, "probe_model");
        AppendJsonString(out, meter.probeModel);
        out.push_back(',');
        AppendKey(out, "wavelength_nm");
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

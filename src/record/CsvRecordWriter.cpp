#include "record/CsvRecordWriter.h"

#include "record/RecordText.h"

namespace zelmora {

namespace {

// Texts from a device or the operator inside a comment line: a comma or a
// quote would split the line into fields, a line break would end it.
void AppendCommentText(std::string& out, std::string_view text) {
    for (const char c : text) {
        out.push_back(c == ',' || c == '"' || c == '\r' || c == '\n' ? '?' : c);
    }
}

void AppendComment(std::string& out, std::string_view key, std::string_view value) {
    out.append("# ");
    out.append(key);
    out.append(": ");
    AppendCommentText(out, value);
    out.push_back('\n');
}

} // namespace

std::string CCsvRecordWriter::HeaderRow(RecordUnit unit) {
    std::string row;
    for (const std::string& name : RecordFieldNames(unit)) {
        if (!row.empty()) {
            row.push_back(',');
        }
        row.append(name);
    }
    row.push_back('\n');
    return row;
}

void CCsvRecordWriter::AppendMetadata(std::string& out, const RunMetadata& metadata,
                                      bool continuing) const {
    AppendComment(out, "program", metadata.program + " " + metadata.version);
    AppendComment(out, "started_utc", FormatUtcTime(metadata.started));
    std::string number;
    AppendInteger(number, metadata.intervalMs);
    AppendComment(out, "interval_ms", number);
    number.clear();
    AppendInteger(number, metadata.averaging);
    AppendComment(out, "averaging", number);
    AppendComment(out, "unit", UnitName(metadata.unit));
    for (const RunMeter& meter : metadata.meters) {
        std::string text = meter.id + " probe_family=" + meter.probeFamily +
                           " probe_model=" + meter.probeModel + " wavelength_nm=";
        if (meter.wavelength) {
            AppendInteger(text, *meter.wavelength);
        } else {
            text.append("unknown");
        }
        AppendComment(out, "meter", text);
    }
    if (!continuing) {
        out.append(HeaderRow(m_unit));
    }
}

void CCsvRecordWriter::AppendRecord(std::string& out, const Record& record) const {
    AppendUtcTime(out, record.utcTime);
    out.push_back(',');
    AppendNumber(out, static_cast<double>(record.elapsedMs) / 1000);
    out.push_back(',');
    AppendCsvField(out, record.meter);
    out.push_back(',');
    AppendInteger(out, record.count);
    out.push_back(',');
    if (record.power) {
        AppendNumber(out, *record.power);
    }
    out.push_back(',');
    out.append(StatusName(record.status));
    out.push_back(',');
    AppendInteger(out, record.range);
    out.push_back(',');
    AppendInteger(out, record.wavelength);
    out.push_back('\n');
}

void CCsvRecordWriter::AppendEvent(std::string& out, const RunEvent& event) const {
    std::string text = event.meter + " " + FormatUtcTime(event.utcTime);
    if (event.kind == RunEvent::Kind::SamplesLost) {
        text.push_back(' ');
        AppendInteger(text, static_cast<long long>(event.samples));
    }
    if (!event.detail.empty()) {
        text += " " + event.detail;
    }
    AppendComment(out, EventName(event.kind), text);
}

} // namespace zelmora

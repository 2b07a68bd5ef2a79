#include "cli/RecordFileSink.h"

#include "record/CsvRecordWriter.h"
#include "record/RecordText.h"

#include <fstream>

namespace zelmora {

CRecordFileSink::CRecordFileSink(RecordFormat format, RecordUnit unit)
    : m_writer(RecordWriter::Create(format, unit)) {}

bool CRecordFileSink::Open(const std::string& path, int standardOutput, bool append) {
    if (path == "-") {
        return m_file.Attach(standardOutput, "standard output");
    }
    m_bContinuing = append && CLogFile::HoldsData(path);
    if (!m_file.Open(path, {.append = append, .waitForReader = true})) {
        return false;
    }
    // A file whose last line was cut short (a run killed mid-line, an edit
    // by hand) would have this run's first line glued onto it: this run
    // begins on a line of its own, and the bytes there stay as they are.
    if (m_bContinuing) {
        std::ifstream file(path, std::ios::binary | std::ios::ate);
        char last = '\n';
        if (file && file.tellg() > 0 && file.seekg(-1, std::ios::end) && file.get(last) &&
            last != '\n') {
            m_strLineBreak = "\n";
        }
    }
    return true;
}

std::string CRecordFileSink::CheckAppendable(const std::string& path, RecordFormat format,
                                             RecordUnit unit) {
    if (!CLogFile::HoldsData(path)) {
        return {};
    }
    std::ifstream file(path, std::ios::binary);
    std::string line;
    if (format == RecordFormat::Csv) {
        while (std::getline(file, line) && line.starts_with("#")) {
        }
        const std::string header = CCsvRecordWriter::HeaderRow(unit);
        if (line + "\n" != header) {
            return "--append: " + path + " does not begin with the columns of this run (" +
                   header.substr(0, header.size() - 1) + "); another --unit or --format?";
        }
        return {};
    }
    // A JSON Lines file begins with the metadata of its first run, which
    // names the unit and the fields of every record after it.
    std::string layout = "\"unit\":";
    AppendJsonString(layout, UnitName(unit));
    layout += ",\"fields\":[";
    for (const std::string& field : RecordFieldNames(unit)) {
        if (layout.back() != '[') {
            layout.push_back(',');
        }
        AppendJsonString(layout, field);
    }
    layout.push_back(']');
    std::getline(file, line);
    if (!line.starts_with("{\"program\":") || line.find(layout) == std::string::npos) {
        return "--append: " + path + " does not begin with the metadata of a JSON Lines run in " +
               std::string(UnitName(unit)) + " (" + layout + "); another --unit or --format?";
    }
    return {};
}

bool CRecordFileSink::Begin(const RunMetadata& metadata) {
    std::string text = std::move(m_strLineBreak);
    m_strLineBreak.clear();
    m_writer->AppendMetadata(text, metadata, m_bContinuing);
    return WriteText(text);
}

bool CRecordFileSink::Write(std::span<const Record> records) {
    m_strText.clear();
    m_recordEnds.clear();
    for (const Record& record : records) {
        m_writer->AppendRecord(m_strText, record);
        m_recordEnds.push_back(m_strText.size());
    }
    std::size_t kept = 0;
    const bool written = m_file.WriteRecords(m_strText, m_recordEnds, kept);
    m_nRecords += kept;
    return written;
}

bool CRecordFileSink::Note(const RunEvent& event) {
    std::string text;
    m_writer->AppendEvent(text, event);
    return WriteText(text);
}

bool CRecordFileSink::End() {
    m_file.Close();
    return true;
}

std::string CRecordFileSink::Error() const {
    return m_file.GetError();
}

bool CRecordFileSink::WriteText(const std::string& text) {
    return m_file.Write(text);
}

} // namespace zelmora

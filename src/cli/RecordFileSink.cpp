#include "cli/RecordFileSink.h"

#include "record/CsvRecordWriter.h"

#include <fstream>

namespace zelmora {

CRecordFileSink::CRecordFileSink(RecordFormat format, RecordUnit unit)
    : m_writer(RecordWriter::Create(format, unit)) {}

bool CRecordFileSink::Open(const std::string& path, int standardOutput, bool append) {
    if (path == "-") {
        return m_file.Attach(standardOutput, "standard output");
    }
    m_bContinuing = append && CLogFile::HoldsData(path);
    return m_file.Open(path, {.append = append, .waitForReader = true});
}

std::string CRecordFileSink::CheckAppendable(const std::string& path, RecordFormat format,
                                             RecordUnit unit) {
    // Every JSON Lines object names its fields; only CSV has one header.
    if (format != RecordFormat::Csv || !CLogFile::HoldsData(path)) {
        return {};
    }
    std::ifstream file(path, std::ios::binary);
    std::string line;
    while (std::getline(file, line) && line.starts_with("#")) {
    }
    const std::string header = CCsvRecordWriter::HeaderRow(unit);
    if (line + "\n" != header) {
        return "--append: " + path + " does not begin with the columns of this run (" +
               header.substr(0, header.size() - 1) + "); another --unit or --format?";
    }
    return {};
}

bool CRecordFileSink::Begin(const RunMetadata& metadata) {
    std::string text;
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

#pragma once

// The records of a run in a file or on standard output, in CSV or JSON
// Lines. Each batch of records goes to the system in one write; a write
// that fits only in part (a full disk) keeps every record it holds whole.

#include "log/LogFile.h"
#include "record/RecordSink.h"
#include "record/RecordWriter.h"

#include <cstdint>
#include <memory>
#include <string>

namespace zelmora {

class CRecordFileSink final : public RecordSink {
public:
    CRecordFileSink(RecordFormat format, RecordUnit unit);

    // Opens `path` ("-": the descriptor `standardOutput`), replacing what
    // the file holds or, with `append`, adding to it. False with Error().
    bool Open(const std::string& path, int standardOutput, bool append);
    // Why appending this run to `path` would spoil it: a file that does not
    // begin as a file of this format, unit and columns does (its CSV header
    // row, its JSON Lines metadata), such as one of another unit or format
    // or one that is neither. Empty when it may be appended to.
    static std::string CheckAppendable(const std::string& path, RecordFormat format,
                                       RecordUnit unit);

    bool Begin(const RunMetadata& metadata) override;
    bool Write(std::span<const Record> records) override;
    bool Note(const RunEvent& event) override;
    bool End() override;
    std::string Error() const override;
    bool ReceiverGone() const override { return m_file.ReaderGone(); }

    // "standard output" or the path.
    const std::string& Name() const { return m_file.GetPath(); }
    std::uint64_t RecordsWritten() const { return m_nRecords; }

private:
    bool WriteText(const std::string& text);

    std::unique_ptr<RecordWriter> m_writer;
    CLogFile m_file;
    // Appending to a file that already holds records of this layout.
    bool m_bContinuing = false;
    // Written before the run's first line: the LF that the file's last line
    // lacks.
    std::string m_strLineBreak;
    std::uint64_t m_nRecords = 0;
    std::string m_strText;
    std::vector<std::size_t> m_recordEnds;
};

} // namespace zelmora

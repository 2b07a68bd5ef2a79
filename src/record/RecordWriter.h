#pragma once

// Turns a run's metadata, its records and its events into text: CSV with
// '#' comment lines before a header row, or JSON Lines whose first object
// is the metadata. Every piece ends with LF; a writer appends to a string
// so that a sink can hand several records to the system in one write.

#include "record/Record.h"
#include "record/RunMetadata.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zelmora {

enum class RecordFormat : std::uint8_t { Csv, JsonLines };

// "csv", "jsonl", and back.
std::string_view FormatName(RecordFormat format);
std::optional<RecordFormat> ParseFormat(std::string_view text);

class RecordWriter {
public:
    virtual ~RecordWriter() = default;

    // What opens an output: the run's description and, in CSV, the header
    // row, which `continuing` (an output that already holds records of the
    // same fields) leaves out.
    virtual void AppendMetadata(std::string& out, const RunMetadata& metadata,
                                bool continuing = false) const = 0;
    virtual void AppendRecord(std::string& out, const Record& record) const = 0;
    virtual void AppendEvent(std::string& out, const RunEvent& event) const = 0;

    // A writer whose power field is named for `unit` (the records must
    // carry their power in that unit).
    static std::unique_ptr<RecordWriter> Create(RecordFormat format, RecordUnit unit);
};

} // namespace zelmora

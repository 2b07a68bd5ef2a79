#include "record/RecordWriter.h"

#include "record/CsvRecordWriter.h"
#include "record/JsonLinesRecordWriter.h"

namespace zelmora {

std::string_view FormatName(RecordFormat format) {
    return format == RecordFormat::Csv ? "csv" : "jsonl";
}

std::optional<RecordFormat> ParseFormat(std::string_view text) {
    if (text == "csv") {
        return RecordFormat::Csv;
    }
    if (text == "jsonl") {
        return RecordFormat::JsonLines;
    }
    return std::nullopt;
}

std::unique_ptr<RecordWriter> RecordWriter::Create(RecordFormat format, RecordUnit unit) {
    if (format == RecordFormat::Csv) {
        return std::make_unique<CCsvRecordWriter>(unit);
    }
    return std::make_unique<CJsonLinesRecordWriter>(unit);
}

} // namespace zelmora

#pragma once

// CSV records. Comment lines begin with "# " and hold no comma and no
// quote, so a CSV reader without options reads each as a row of one field
// and the header row after them as the first row of several.

#include "record/RecordWriter.h"

namespace zelmora {

class CCsvRecordWriter final : public RecordWriter {
public:
    explicit CCsvRecordWriter(RecordUnit unit) : m_unit(unit) {}

    void AppendMetadata(std::string& out, const RunMetadata& metadata,
                        bool continuing) const override;
    void AppendRecord(std::string& out, const Record& record) const override;
    void AppendEvent(std::string& out, const RunEvent& event) const override;

    // The header row with its LF.
    static std::string HeaderRow(RecordUnit unit);

private:
    RecordUnit m_unit;
};

} // namespace zelmora

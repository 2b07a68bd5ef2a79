#pragma once

// JSON Lines: one object per line. The first holds the run's metadata
// (it has a "program" member), each record is an object of the CSV
// columns (a missing power is null), an event has an "event" member.

#include "record/RecordWriter.h"

namespace zelmora {

class CJsonLinesRecordWriter final : public RecordWriter {
public:
    explicit CJsonLinesRecordWriter(RecordUnit unit);

    void AppendMetadata(std::string& out, const RunMetadata& metadata,
                        bool continuing) const override;
    void AppendRecord(std::string& out, const Record& record) const override;
    void AppendEvent(std::string& out, const RunEvent& event) const override;

private:
    RecordUnit m_unit;
    // "power_W" and so on, with its quotes.
    std::string m_powerKey;
};

} // namespace zelmora

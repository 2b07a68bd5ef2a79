#pragma once

// Where a run's records go: a file, and later other receivers beside it.
// A run calls Begin once, then Write and Note in the order things happened,
// then End. A false result means the sink can take nothing more; Error
// says why.

#include "record/Record.h"
#include "record/RunMetadata.h"

#include <span>
#include <string>

namespace zelmora {

class RecordSink {
public:
    virtual ~RecordSink() = default;

    virtual bool Begin(const RunMetadata& metadata) = 0;
    // Records in the order they arrived.
    virtual bool Write(std::span<const Record> records) = 0;
    virtual bool Note(const RunEvent& event) = 0;
    // Everything taken is delivered; the sink is closed.
    virtual bool End() = 0;
    virtual std::string Error() const = 0;
    // The receiver has taken all it wants (the reader of a pipe went
    // away): not a failure of the run.
    virtual bool ReceiverGone() const { return false; }
};

} // namespace zelmora

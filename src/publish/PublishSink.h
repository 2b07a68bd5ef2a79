#pragma once

// A sink that sends a run's records on to a receiver elsewhere (a message
// broker) instead of keeping them. The receiver may go away during a run:
// such a sink never blocks the run and never fails it; it keeps what it
// could not send yet in a bounded queue, lets the oldest go when the queue
// is full and counts them. Only reaching the receiver at the start can
// fail, before any meter is started.

#include "record/RecordSink.h"

#include <cstdint>
#include <string>

namespace zelmora {

struct PublishCounts {
    // The receiver is there and has accepted the connection.
    bool connected = false;
    // Records the receiver acknowledged.
    std::uint64_t delivered = 0;
    // Records queued, or sent and not yet acknowledged.
    std::uint64_t waiting = 0;
    // The oldest records, let go when the queue was full.
    std::uint64_t dropped = 0;
    // Records still waiting when the run ended and the receiver did not
    // take them in time.
    std::uint64_t undelivered = 0;
};

class PublishSink : public RecordSink {
public:
    // Reaches the receiver and waits for its answer. False with Error()
    // when it cannot be reached or refuses the connection.
    virtual bool Connect() = 0;
    virtual PublishCounts Counts() const = 0;
    // Where the records go, for the operator: "mqtt://broker:1883".
    virtual std::string Name() const = 0;
};

} // namespace zelmora

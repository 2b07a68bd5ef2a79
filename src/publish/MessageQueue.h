#pragma once

// The messages a publishing sink could not send yet, oldest first, at most
// a fixed number of them. When it is full the oldest message goes, and is
// counted against the meter it belonged to, so that a receiver can be told
// exactly how many of each meter's samples it will never see.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace zelmora {

struct PublishMessage {
    // The index of the meter in the run.
    std::size_t meter = 0;
    std::string topic;
    std::string payload;
};

class CMessageQueue {
public:
    explicit CMessageQueue(std::size_t capacity) : m_nCapacity(capacity < 1 ? 1 : capacity) {}

    // Adds `message` at the end; when the queue is full, the oldest message
    // is let go first. Returns the meter of the message let go, or -1.
    long Push(PublishMessage message) {
        long droppedMeter = -1;
        if (m_messages.size() >= m_nCapacity) {
            droppedMeter = static_cast<long>(m_messages.front().meter);
            Count(m_messages.front().meter);
            m_messages.pop_front();
        }
        m_messages.push_back(std::move(message));
        return droppedMeter;
    }
    PublishMessage Pop() {
        PublishMessage message = std::move(m_messages.front());
        m_messages.pop_front();
        return message;
    }
    bool Empty() const { return m_messages.empty(); }
    std::size_t Size() const { return m_messages.size(); }
    std::size_t Capacity() const { return m_nCapacity; }
    // Messages of `meter` let go so far.
    std::uint64_t Dropped(std::size_t meter) const {
        return meter < m_dropped.size() ? m_dropped[meter] : 0;
    }
    std::uint64_t DroppedTotal() const { return m_nDroppedTotal; }

private:
    void Count(std::size_t meter) {
        if (meter >= m_dropped.size()) {
            m_dropped.resize(meter + 1, 0);
        }
        ++m_dropped[meter];
        ++m_nDroppedTotal;
    }

    std::size_t m_nCapacity;
    std::deque<PublishMessage> m_messages;
    std::vector<std::uint64_t> m_dropped;
    std::uint64_t m_nDroppedTotal = 0;
};

} // namespace zelmora

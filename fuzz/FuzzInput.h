#pragma once

// Takes a fuzzer's bytes apart into the values a harness needs; past the
// end every read gives zeros, so any input is a complete one.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace zelmora::fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    bool Empty() const { return m_position >= m_size; }
    std::size_t Remaining() const { return m_size - std::min(m_position, m_size); }

    std::uint8_t Byte() { return m_position < m_size ? m_data[m_position++] : 0; }

    template <typename T>
    T Value() {
        T value{};
        std::uint8_t bytes[sizeof(T)] = {};
        for (auto& b : bytes) {
            b = Byte();
        }
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }

    // Up to `limit` bytes: a length byte, then that many.
    std::string Text(std::size_t limit = 255) {
        const std::size_t length = std::min<std::size_t>({Byte(), limit, Remaining()});
        std::string text(reinterpret_cast<const char*>(m_data + m_position), length);
        m_position += length;
        return text;
    }

    // Everything that is left.
    std::string Rest() {
        std::string text(reinterpret_cast<const char*>(m_data + m_position), Remaining());
        m_position = m_size;
        return text;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_position = 0;
};

} // namespace zelmora::fuzz

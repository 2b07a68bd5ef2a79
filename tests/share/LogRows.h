#pragma once

// The CSV logs of zelmora-cli processes that share a meter, read back:
// their records, and whether one log's samples are a run of another's.

#include "support/TextFiles.h"

#include <sstream>
#include <string>
#include <vector>

namespace zelmora::test {

// A record of a CSV log: what the meter said and when, and its count.
struct Row {
    std::string sample; // time, power, status, range, wavelength
    long count = -1;
    friend bool operator==(const Row&, const Row&) = default;
};

inline std::vector<Row> Rows(const std::string& path) {
    std::vector<Row> rows;
    for (const std::string& line : Lines(ReadFile(path))) {
        if (!line.starts_with("20")) {
            continue;
        }
        std::vector<std::string> fields;
        std::istringstream stream(line);
        for (std::string field; std::getline(stream, field, ',');) {
            fields.push_back(field);
        }
        if (fields.size() != 8) {
            continue;
        }
        rows.push_back(
            {fields[0] + "," + fields[4] + "," + fields[5] + "," + fields[6] + "," + fields[7],
             std::stol(fields[3])});
    }
    return rows;
}

// Every sample of `part` once, in order and without a gap, somewhere in
// `whole`.
inline bool ConsecutiveIn(const std::vector<Row>& part, const std::vector<Row>& whole) {
    if (part.empty()) {
        return false;
    }
    for (std::size_t start = 0; start + part.size() <= whole.size(); ++start) {
        if (whole[start].sample != part.front().sample) {
            continue;
        }
        for (std::size_t i = 0; i < part.size(); ++i) {
            if (whole[start + i].sample != part[i].sample) {
                return false;
            }
        }
        return true;
    }
    return false;
}

inline bool CountsFromZero(const std::vector<Row>& rows) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].count != static_cast<long>(i)) {
            return false;
        }
    }
    return true;
}

} // namespace zelmora::test

#pragma once

// Files the programs under test wrote, read back whole or line by line.

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace zelmora::test {

inline std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

} // namespace zelmora::test

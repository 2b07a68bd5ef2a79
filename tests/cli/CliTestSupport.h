#pragma once

// What the tests of zelmora-cli share: a temporary folder, files read back,
// and Python's csv and json modules checking a record file.

#include "support/TempFolder.h"
#include "support/TextFiles.h"

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace zelmora {

// The CLI's tests name the files in it as `folder / "name"`.
class TempFolder : public test::TempFolder {
public:
    TempFolder() : test::TempFolder("zelmora-cli-") {}
    std::string operator/(const std::string& name) const { return Path(name); }
};

using test::Lines;
using test::ReadFile;

// Python's csv or json module reads the file back: `meters` meters with
// the counts 0 to count-1 each once and in order (count 0: from 0 on,
// as many as there are). True when it agrees.
inline bool CheckedByPython(const std::string& format, const std::string& path, int meters,
                            int count, const std::string& unit = "W") {
    const std::string command = "python3 " ZELMORA_CHECK_RECORDS " " + format + " '" + path + "' " +
                                std::to_string(meters) + " " + std::to_string(count) + " " + unit +
                                " >/dev/null";
    return std::system(command.c_str()) == 0;
}

} // namespace zelmora

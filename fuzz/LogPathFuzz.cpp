// The log path functions on any path: a split gives back the path it came
// from, and a numbered name keeps the folder and the extension and differs
// from the name it came from.

#include "FuzzInput.h"
#include "log/LogPath.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zelmora;
    fuzz::Input input(data, size);
    // As many runs as an operator could make in a lifetime, and more.
    int index = static_cast<int>(input.Value<std::uint32_t>() % 10000000);
    const std::string path = input.Rest();

    std::string folder = "kept/";
    std::string name = "kept.csv";
    if (SplitLogPath(path, folder, name)) {
        if (folder + name != path || folder.empty() || folder.back() != kLogPathSeparator ||
            name.find(kLogPathSeparator) != std::string::npos) {
            std::abort();
        }
    } else if (path.find(kLogPathSeparator) != std::string::npos || folder != "kept/" ||
               name != "kept.csv") {
        std::abort();
    }

    for (int run = 0; run < 3; ++run) {
        const int before = index;
        const auto next = AdvanceLogFileName(folder, name, index);
        if (index != before + 1) {
            std::abort();
        }
        const std::size_t period = name.find_last_of('.');
        if (period == std::string::npos) {
            if (next) {
                std::abort();
            }
            continue;
        }
        const std::string extension = name.substr(period);
        if (!next || next->rfind(folder, 0) != 0 || next->size() < extension.size() ||
            next->compare(next->size() - extension.size(), extension.size(), extension) != 0 ||
            *next == folder + name) {
            std::abort();
        }
    }
    return 0;
}

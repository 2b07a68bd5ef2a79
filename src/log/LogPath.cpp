#include "log/LogPath.h"

#include "util/TextFormat.h"

namespace zelmora {

bool SplitLogPath(std::string_view path, std::string& folder, std::string& name) {
    const std::size_t separator = path.find_last_of(kLogPathSeparator);
    if (separator == std::string_view::npos) {
        return false;
    }
    folder = path.substr(0, separator + 1);
    name = path.substr(separator + 1);
    return true;
}

std::optional<std::string> AdvanceLogFileName(const std::string& folder, const std::string& name,
                                              int& index) {
    index += 1;
    const std::size_t period = name.find_last_of('.');
    if (period == std::string::npos) {
        return std::nullopt;
    }
    return folder + name.substr(0, period) + Format("_%d", index) + name.substr(period);
}

} // namespace zelmora

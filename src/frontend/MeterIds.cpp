#include "frontend/MeterIds.h"

#include "util/TextFormat.h"

#include <algorithm>
#include <string>

namespace zelmora {

std::string CheckMeterId(std::string_view id) {
    const bool printable = std::all_of(id.begin(), id.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte < 0x7f;
    });
    if (id.size() == kMeterIdLength && printable) {
        return {};
    }
    std::string why = "'" + PrintableExcerpt(id, 40) + "' is not a meter id: ";
    if (!printable) {
        why += "an id is printable ASCII";
    } else {
        why += "an id has " + std::to_string(kMeterIdLength) + " characters, not " +
               std::to_string(id.size());
    }
    return why + " ('list' shows the meters present)";
}

std::string CheckMeterIds(std::span<const std::string> ids) {
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (std::string why = CheckMeterId(ids[i]); !why.empty()) {
            return why;
        }
        if (std::find(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(i), ids[i]) !=
            ids.begin() + static_cast<std::ptrdiff_t>(i)) {
            return "meter " + ids[i] + " is named twice: each meter may be named once";
        }
    }
    return {};
}

} // namespace zelmora

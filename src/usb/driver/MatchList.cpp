#include "usb/driver/MatchList.h"

#include "util/TextFormat.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace zelmora {

namespace {

constexpr std::string_view kBlanks = " \t\r\n\f\v";

std::string_view Trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

std::optional<std::uint16_t> ParseHex4(std::string_view text) {
    if (text.size() != 4) {
        return std::nullopt;
    }
    std::uint16_t value = 0;
    for (const char c : text) {
        int digit = 0;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        value = static_cast<std::uint16_t>(value * 16 + digit);
    }
    return value;
}

void AddOnce(std::vector<UsbId>& ids, UsbId id) {
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) {
        ids.push_back(id);
    }
}

} // namespace

std::optional<UsbId> MatchList::ParseId(std::string_view text) {
    text = Trim(text);
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const auto vendor = ParseHex4(text.substr(0, colon));
    const auto product = ParseHex4(text.substr(colon + 1));
    if (!vendor || !product) {
        return std::nullopt;
    }
    return UsbId{*vendor, *product};
}

std::string MatchList::FormatId(UsbId id) {
    return Format("%04x:%04x", static_cast<unsigned>(id.vendorId),
                  static_cast<unsigned>(id.productId));
}

std::vector<UsbId> MatchList::Parse(std::string_view text, std::string_view source,
                                    std::vector<std::string>* problems) {
    std::vector<UsbId> ids;
    int lineNumber = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++lineNumber;
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty()) {
            continue;
        }
        if (const auto id = ParseId(line)) {
            AddOnce(ids, *id);
        } else if (problems) {
            problems->push_back(Format("%.*s:%d: not a vendor:product id (vvvv:pppp): %.*s",
                                       static_cast<int>(source.size()), source.data(), lineNumber,
                                       static_cast<int>(line.size()), line.data()));
        }
    }
    return ids;
}

std::vector<std::string> MatchList::DefaultFiles(const std::string& systemConfigDir) {
    std::vector<std::string> files;
    files.push_back(systemConfigDir + "/zelmora/meters.conf");
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (configHome && *configHome) {
        files.push_back(std::string(configHome) + "/zelmora/meters.conf");
    } else if (home && *home) {
        files.push_back(std::string(home) + "/.config/zelmora/meters.conf");
    }
    return files;
}

std::vector<std::string> MatchList::DefaultFiles() {
    return DefaultFiles(ZELMORA_SYSCONFDIR);
}

std::vector<UsbId> MatchList::Build(const std::vector<std::string>& files,
                                    const std::vector<std::string>& options,
                                    std::vector<std::string>* problems) {
    std::vector<UsbId> ids;
    for (const std::string& file : files) {
        errno = 0;
        std::ifstream stream(file, std::ios::binary);
        if (!stream) {
            if (errno != ENOENT && problems) {
                problems->push_back(Format("%s: cannot be read", file.c_str()));
            }
            continue;
        }
        std::ostringstream text;
        text << stream.rdbuf();
        for (const UsbId id : Parse(text.str(), file, problems)) {
            AddOnce(ids, id);
        }
    }
    for (const std::string& option : options) {
        if (const auto id = ParseId(option)) {
            AddOnce(ids, *id);
        } else if (problems) {
            problems->push_back(
                Format("--usb-id %s: not a vendor:product id (vvvv:pppp)", option.c_str()));
        }
    }
    return ids;
}

} // namespace zelmora

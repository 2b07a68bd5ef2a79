#pragma once

// Which USB devices are meters. On Linux no kernel driver publishes the
// meter's interface class, so the libusb backend lists the devices whose
// vendor/product id is in this list instead. The list comes from small text
// files (one "vvvv:pppp" hexadecimal pair per line, "#" starts a comment)
// and from the command line (--usb-id vvvv:pppp).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmora {

struct UsbId {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;

    friend bool operator==(const UsbId&, const UsbId&) = default;
};

class MatchList {
public:
    // "046d:c52b": exactly four hexadecimal digits, a colon, four more
    // (either case); blanks around it are allowed.
    static std::optional<UsbId> ParseId(std::string_view text);
    // "046d:c52b", lower case.
    static std::string FormatId(UsbId id);

    // The ids of a file's text, in order. Each line that is neither blank
    // nor a comment and holds no valid pair adds a message naming `source`
    // and the line number to `problems` (when given) and is skipped.
    static std::vector<UsbId> Parse(std::string_view text, std::string_view source,
                                    std::vector<std::string>* problems);

    // The user's own file: $XDG_CONFIG_HOME/zelmora/meters.conf, or
    // ~/.config/zelmora/meters.conf when XDG_CONFIG_HOME is unset, empty or
    // not an absolute path; empty when there is no home folder either.
    static std::string UserFile();
    // The files read by default, in order: the one installed with the
    // program (below `systemConfigDir`), then the user's own.
    static std::vector<std::string> DefaultFiles(const std::string& systemConfigDir);
    // The same with the configuration folder the program is installed for
    // (/etc for a system install).
    static std::vector<std::string> DefaultFiles();

    // The match list: the ids of the files that exist, then the ids given on
    // the command line, each id once, in the order first seen. A missing
    // file is not a problem (nothing needs to be configured). Only regular
    // files of up to 1 MiB are read: anything else in a file's place (a
    // folder, a named pipe, a device) and an unreadable file are reported in
    // `problems`, one line each, as are bad lines and bad options. Text
    // echoed in a problem is cut short and made printable.
    static std::vector<UsbId> Build(const std::vector<std::string>& files,
                                    const std::vector<std::string>& options,
                                    std::vector<std::string>* problems);

    // An id of the match list and where it was first seen: the file's path,
    // or "--usb-id" for the command line.
    struct Entry {
        UsbId id;
        std::string source;
    };
    // Build, with where each id came from.
    static std::vector<Entry> BuildWithSources(const std::vector<std::string>& files,
                                               const std::vector<std::string>& options,
                                               std::vector<std::string>* problems);

    enum class AddOutcome { Added, AlreadyThere, Failed };
    // Adds `id` to the file at `path` as a line of its own, below `note` as
    // a comment (made printable, one line), unless the file already lists
    // it. Missing folders are made, for the user only; a new file starts
    // with a line that says what it is. What the file held stays as it was,
    // comments included, and a failed write leaves it so. Only a regular
    // file of up to 1 MiB is written to; anything else is refused with the
    // reason in `error`. (POSIX only: Windows has no match list.)
    static AddOutcome AddToFile(const std::string& path, UsbId id, std::string_view note,
                                std::string* error);
};

} // namespace zelmora

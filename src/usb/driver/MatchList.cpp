#include "usb/driver/MatchList.h"

#include "util/TextFormat.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#if defined(_WIN32)
#include <filesystem>
#include <fstream>
#else
#include <fcntl.h>
#include <locale.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

// Lines and file names are echoed in messages: short and printable, so a
// stray binary file or an escape sequence cannot flood or steer the
// terminal.
constexpr std::size_t kEchoLimit = 80;

std::string Echo(std::string_view text) {
    return PrintableExcerpt(text, kEchoLimit);
}

enum class FileState { Missing, Read, Refused };

#if !defined(_WIN32)
// In English whatever the process locale: the messages around it are.
std::string ErrorText(int error) {
    static const locale_t english = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return english != static_cast<locale_t>(nullptr) ? strerror_l(error, english)
                                                     : "error " + std::to_string(error);
}
#endif

// A match list is a few lines; anything much larger is not one.
constexpr std::size_t kMaxFileBytes = 1 << 20;

// Reads a match list file into `text`. Only a regular file is read: a named
// pipe would hang the start-up, and a device such as /dev/zero never ends.
// Anything else, or a failure, is told in `problem`.
FileState ReadListFile(const std::string& path, std::string& text, std::string& problem) {
#if defined(_WIN32)
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) {
        return FileState::Missing;
    }
    if (!std::filesystem::is_regular_file(status)) {
        problem = std::filesystem::is_directory(status) ? "is a folder, not a file"
                                                        : "is not a regular file";
        return FileState::Refused;
    }
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        problem = "cannot be read";
        return FileState::Refused;
    }
    text.resize(kMaxFileBytes + 1);
    stream.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(stream.gcount()));
#else
    // O_NONBLOCK: opening a named pipe must not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return FileState::Missing;
        }
        problem = "cannot be read: " + ErrorText(errno);
        return FileState::Refused;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        problem = S_ISDIR(status.st_mode) ? "is a folder, not a file" : "is not a regular file";
        ::close(fd);
        return FileState::Refused;
    }
    text.resize(kMaxFileBytes + 1);
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            if (n < 0) {
                problem = "cannot be read: " + ErrorText(errno);
                ::close(fd);
                return FileState::Refused;
            }
            break;
        }
    }
    ::close(fd);
    text.resize(got);
#endif
    if (text.size() > kMaxFileBytes) {
        problem = Format("is larger than %u KiB, which no match list is",
                         static_cast<unsigned>(kMaxFileBytes / 1024));
        return FileState::Refused;
    }
    return FileState::Read;
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
            problems->push_back(Format("%s:%d: not a vendor:product id (vvvv:pppp): %s",
                                       Echo(source).c_str(), lineNumber, Echo(line).c_str()));
        }
    }
    return ids;
}

std::string MatchList::UserFile() {
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the base
    // directory rules say: it would name a different file in every folder.
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (configHome && configHome[0] == '/') {
        return std::string(configHome) + "/zelmora/meters.conf";
    }
    if (home && *home) {
        return std::string(home) + "/.config/zelmora/meters.conf";
    }
    return {};
}

std::vector<std::string> MatchList::DefaultFiles(const std::string& systemConfigDir) {
    std::vector<std::string> files;
    files.push_back(systemConfigDir + "/zelmora/meters.conf");
    if (std::string user = UserFile(); !user.empty()) {
        files.push_back(std::move(user));
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
    for (const Entry& entry : BuildWithSources(files, options, problems)) {
        ids.push_back(entry.id);
    }
    return ids;
}

std::vector<MatchList::Entry> MatchList::BuildWithSources(const std::vector<std::string>& files,
                                                          const std::vector<std::string>& options,
                                                          std::vector<std::string>* problems) {
    std::vector<Entry> entries;
    auto addOnce = [&entries](UsbId id, const std::string& source) {
        if (std::none_of(entries.begin(), entries.end(),
                         [id](const Entry& entry) { return entry.id == id; })) {
            entries.push_back({id, source});
        }
    };
    for (const std::string& file : files) {
        std::string text;
        std::string problem;
        switch (ReadListFile(file, text, problem)) {
        case FileState::Missing:
            break;
        case FileState::Refused:
            if (problems) {
                problems->push_back(Format("%s: %s", Echo(file).c_str(), problem.c_str()));
            }
            break;
        case FileState::Read:
            for (const UsbId id : Parse(text, file, problems)) {
                addOnce(id, file);
            }
            break;
        }
    }
    for (const std::string& option : options) {
        if (const auto id = ParseId(option)) {
            addOnce(*id, "--usb-id");
        } else if (problems) {
            problems->push_back(
                Format("--usb-id %s: not a vendor:product id (vvvv:pppp)", Echo(option).c_str()));
        }
    }
    return entries;
}

#if defined(_WIN32)

MatchList::AddOutcome MatchList::AddToFile(const std::string& /*path*/, UsbId /*id*/,
                                           std::string_view /*note*/, std::string* error) {
    if (error) {
        *error = "Windows has no match list: the meter's driver publishes the meters";
    }
    return AddOutcome::Failed;
}

#else

namespace {

// Makes every missing folder above `path`, readable by the user only (as
// the base directory rules ask of a configuration folder made for them).
bool MakeParentFolders(const std::string& path, std::string& problem) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            problem =
                Format("%s cannot be made: %s", Echo(folder).c_str(), ErrorText(errno).c_str());
            return false;
        }
    }
    return true;
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace

MatchList::AddOutcome MatchList::AddToFile(const std::string& path, UsbId id, std::string_view note,
                                           std::string* error) {
    auto fail = [&](const std::string& problem) {
        if (error) {
            *error = Format("%s %s", Echo(path).c_str(), problem.c_str());
        }
        return AddOutcome::Failed;
    };
    std::string problem;
    if (path.empty() || path[0] != '/') {
        return fail("is not an absolute path");
    }
    if (!MakeParentFolders(path, problem)) {
        if (error) {
            *error = problem;
        }
        return AddOutcome::Failed;
    }
    // O_NONBLOCK: a named pipe in the file's place must not hang the window.
    const int fd =
        ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) {
        return fail(errno == EISDIR ? "is a folder, not a file"
                                    : "cannot be opened: " + ErrorText(errno));
    }
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return fail(S_ISDIR(status.st_mode) ? "is a folder, not a file" : "is not a regular file");
    }
    // Two programs adding at once write one after the other.
    if (::flock(fd, LOCK_EX) != 0) {
        return fail("cannot be locked: " + ErrorText(errno));
    }
    std::string text(kMaxFileBytes + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n =
            ::pread(fd, text.data() + got, text.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return fail("cannot be read: " + ErrorText(errno));
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    if (text.size() > kMaxFileBytes) {
        return fail(Format("is larger than %u KiB, which no match list is",
                           static_cast<unsigned>(kMaxFileBytes / 1024)));
    }
    const std::vector<UsbId> ids = Parse(text, path, nullptr);
    if (std::find(ids.begin(), ids.end(), id) != ids.end()) {
        return AddOutcome::AlreadyThere;
    }

    std::string addition;
    if (text.empty()) {
        addition = "# Zelmora: my own meters, one vendor:product id a line (see also\n"
                   "# " ZELMORA_SYSCONFDIR "/zelmora/meters.conf).\n";
    } else if (text.back() != '\n') {
        addition = "\n";
    }
    // The note may come from a device: it must not add lines of its own.
    if (const std::string comment = PrintableLine(note, 100); !comment.empty()) {
        addition += "# " + comment + "\n";
    }
    addition += FormatId(id) + "\n";
    if (!WriteAll(fd, addition) || ::fsync(fd) != 0) {
        const int cause = errno;
        // What the file held before stays whole, and nothing half-written.
        if (::ftruncate(fd, static_cast<off_t>(text.size())) != 0) {
            return fail("was left with a part of a line: " + ErrorText(cause));
        }
        return fail("cannot be written: " + ErrorText(cause));
    }
    return AddOutcome::Added;
}

#endif

} // namespace zelmora

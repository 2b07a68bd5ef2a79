// The match list from any file text and any --usb-id values: no crash, each
// id once, what is printed reads back as the same list, and every problem
// echoed to the terminal is short and printable.

#include "FuzzInput.h"
#include "usb/driver/MatchList.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

void CheckProblems(const std::vector<std::string>& problems) {
    for (const std::string& problem : problems) {
        // A file name and an 80-character excerpt, each at most four times
        // its length once escaped, plus the message.
        if (problem.size() > 2 * (4 * 80 + 3) + 100) {
            std::abort();
        }
        for (const char c : problem) {
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
                std::abort();
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zelmora;
    fuzz::Input input(data, size);
    std::vector<std::string> options;
    for (int count = input.Byte() % 4; count > 0; --count) {
        options.push_back(input.Text(64));
    }
    const std::string text = input.Rest();

    std::vector<std::string> problems;
    const std::vector<UsbId> ids = MatchList::Parse(text, "meters.conf", &problems);
    CheckProblems(problems);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        for (std::size_t j = i + 1; j < ids.size(); ++j) {
            if (ids[i] == ids[j]) {
                std::abort();
            }
        }
    }
    // Printed one per line, the list reads back unchanged and without a
    // problem; each printed id parses on its own as the option would.
    std::string printed;
    for (const UsbId id : ids) {
        const std::string one = MatchList::FormatId(id);
        if (MatchList::ParseId(one) != id) {
            std::abort();
        }
        printed += one + "\n";
    }
    std::vector<std::string> again;
    if (MatchList::Parse(printed, "printed", &again) != ids || !again.empty()) {
        std::abort();
    }

    problems.clear();
    const std::vector<UsbId> built = MatchList::Build({}, options, &problems);
    CheckProblems(problems);
    std::size_t good = 0;
    for (const std::string& option : options) {
        good += MatchList::ParseId(option) ? 1 : 0;
    }
    if (problems.size() != options.size() - good || built.size() > good) {
        std::abort();
    }
    return 0;
}

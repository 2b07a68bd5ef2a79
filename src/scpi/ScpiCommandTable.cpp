#include "scpi/ScpiCommandTable.h"

#include <array>
#include <cctype>

namespace zelmora {

namespace {

using P = ScpiParameter;
using A = ScpiAction;

constexpr std::array kCommands{
    ScpiCommand{"*IDN", true, false, P::None, A::Idn},
    ScpiCommand{"*RST", false, true, P::None, A::Rst},
    ScpiCommand{"*CLS", false, true, P::None, A::Cls},
    ScpiCommand{"*OPC", true, true, P::None, A::Opc},
    ScpiCommand{"*WAI", false, true, P::None, A::Wai},
    ScpiCommand{"*ESR", true, false, P::None, A::Esr},
    ScpiCommand{"*ESE", true, true, P::Number, A::Ese},
    ScpiCommand{"*STB", true, false, P::None, A::Stb},
    ScpiCommand{"*SRE", true, true, P::Number, A::Sre},
    ScpiCommand{"*TST", true, false, P::None, A::Tst},
    ScpiCommand{"SYSTem:ERRor[:NEXT]", true, false, P::None, A::ErrorNext},
    ScpiCommand{"SYSTem:ERRor:COUNt", true, false, P::None, A::ErrorCount},
    ScpiCommand{"SYSTem:VERSion", true, false, P::None, A::Version},
    ScpiCommand{"SYSTem:HELP:HEADers", true, false, P::None, A::HelpHeaders},
    ScpiCommand{"MEASure#[:SCALar][:POWer]", true, false, P::None, A::Measure},
    ScpiCommand{"CONFigure#[:SCALar][:POWer]", true, true, P::None, A::Configure},
    ScpiCommand{"INITiate#[:IMMediate]", false, true, P::None, A::Initiate},
    ScpiCommand{"ABORt", false, true, P::None, A::Abort},
    ScpiCommand{"FETCh#[:SCALar][:POWer]", true, false, P::None, A::Fetch},
    ScpiCommand{"READ#[:SCALar][:POWer]", true, false, P::None, A::Read},
    ScpiCommand{"[SENSe#]:AVERage[:COUNt]", true, true, P::Number, A::Average},
    ScpiCommand{"[SENSe#]:POWer[:DC]:UNIT", true, true, P::PowerUnit, A::Unit},
    ScpiCommand{"[SENSe#]:CORRection:WAVelength", true, true, P::Bound, A::Wavelength},
    ScpiCommand{"[SENSe#]:POWer[:DC]:RANGe[:UPPer]", true, false, P::None, A::Range},
    ScpiCommand{"[SENSe#]:POWer[:DC]:REFerence", true, true, P::Number, A::Reference},
    ScpiCommand{"[SENSe#]:POWer[:DC]:REFerence:STATe", true, true, P::Boolean, A::ReferenceState},
    ScpiCommand{"[SENSe#]:CORRection:COLLect:ZERO[:INITiate]", false, true, P::None,
                A::ZeroInitiate},
    ScpiCommand{"[SENSe#]:CORRection:COLLect:ZERO:STATe", true, true, P::Boolean, A::ZeroState},
    ScpiCommand{"[SENSe#]:CORRection:COLLect:ZERO:MAGNitude", true, false, P::None,
                A::ZeroMagnitude},
};

struct Node {
    std::string_view longForm; // as written, mixed case
    bool optional = false;
    bool suffix = false;
};

// The nodes of a pattern; at most 8, more than any command has.
struct Nodes {
    std::array<Node, 8> node{};
    std::size_t count = 0;
};

Nodes Split(std::string_view pattern) {
    Nodes nodes;
    std::size_t i = 0;
    while (i < pattern.size() && nodes.count < nodes.node.size()) {
        Node node;
        if (pattern[i] == '[') {
            node.optional = true;
            ++i;
        }
        if (i < pattern.size() && pattern[i] == ':') {
            ++i;
        }
        std::size_t end = i;
        while (end < pattern.size() && pattern[end] != ':' && pattern[end] != '[' &&
               pattern[end] != ']' && pattern[end] != '#') {
            ++end;
        }
        node.longForm = pattern.substr(i, end - i);
        i = end;
        if (i < pattern.size() && pattern[i] == '#') {
            node.suffix = true;
            ++i;
        }
        if (i < pattern.size() && pattern[i] == ']') {
            ++i;
        }
        nodes.node[nodes.count++] = node;
    }
    return nodes;
}

bool SameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Whether one node of a header spells `node`: its short form (the upper
// case letters) or its long form, then, where the node takes one, the
// suffix 1 (the one sensor there is).
bool MatchNode(const Node& node, std::string_view text) {
    if (node.suffix && !text.empty() && text.back() == '1') {
        text.remove_suffix(1);
    }
    std::string shortForm;
    for (const char c : node.longForm) {
        if (std::isupper(static_cast<unsigned char>(c)) != 0 || c == '*') {
            shortForm += c;
        }
    }
    return SameLetters(text, node.longForm) || SameLetters(text, shortForm);
}

bool Match(const Nodes& nodes, std::size_t n, std::span<const std::string_view> parts) {
    if (n == nodes.count) {
        return parts.empty();
    }
    const Node& node = nodes.node[n];
    if (!parts.empty() && MatchNode(node, parts.front()) && Match(nodes, n + 1, parts.subspan(1))) {
        return true;
    }
    return node.optional && Match(nodes, n + 1, parts);
}

} // namespace

std::span<const ScpiCommand> ScpiCommandTable() {
    return kCommands;
}

const ScpiCommand* FindScpiCommand(std::string_view header) {
    if (header.starts_with(':')) {
        header.remove_prefix(1);
    }
    std::array<std::string_view, 8> parts{};
    std::size_t count = 0;
    while (true) {
        const std::size_t colon = header.find(':');
        if (count == parts.size()) {
            return nullptr;
        }
        parts[count++] = header.substr(0, colon);
        if (parts[count - 1].empty()) {
            return nullptr;
        }
        if (colon == std::string_view::npos) {
            break;
        }
        header.remove_prefix(colon + 1);
    }
    for (const ScpiCommand& command : kCommands) {
        if (Match(Split(command.pattern), 0, std::span(parts.data(), count))) {
            return &command;
        }
    }
    return nullptr;
}

std::string ScpiPathOf(std::string_view header) {
    if (header.starts_with('*')) {
        return {};
    }
    if (header.starts_with(':')) {
        header.remove_prefix(1);
    }
    const std::size_t colon = header.rfind(':');
    return colon == std::string_view::npos ? std::string()
                                           : std::string(header.substr(0, colon + 1));
}

std::vector<std::string> ScpiHelpHeaders() {
    std::vector<std::string> lines;
    for (const ScpiCommand& command : kCommands) {
        std::string line(command.pattern);
        if (command.query) {
            line += "?";
        }
        if (command.query && !command.set) {
            line += "/qonly/";
        } else if (!command.query) {
            line += "/nquery/";
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

} // namespace zelmora

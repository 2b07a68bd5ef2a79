#pragma once

// The program keeps its texts in UTF-8; the platform's wide-character
// calls take UTF-16. These convert at that border, and nowhere else.

#include <string>
#include <string_view>

namespace zelmora {

std::wstring Widen(std::string_view text);
std::string Narrow(std::wstring_view text);

} // namespace zelmora

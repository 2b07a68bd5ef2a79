#pragma once

// Switches the process to a locale with a decimal comma (and its own day and
// month names) while it lives, as Qt does from the environment at start-up,
// so a test can show that numbers and dates do not follow it.

#include <clocale>
#include <string>

namespace zelmora {

class CommaLocale {
public:
    CommaLocale() {
        const char* previous = std::setlocale(LC_ALL, nullptr);
        m_previous = previous ? previous : "C";
        for (const char* name :
             {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE", "German_Germany.1252"}) {
            if (std::setlocale(LC_ALL, name) != nullptr) {
                m_active = true;
                break;
            }
        }
    }
    ~CommaLocale() { std::setlocale(LC_ALL, m_previous.c_str()); }
    CommaLocale(const CommaLocale&) = delete;
    CommaLocale& operator=(const CommaLocale&) = delete;

    bool IsActive() const { return m_active; }

private:
    std::string m_previous;
    bool m_active = false;
};

} // namespace zelmora

#pragma once

// Standard error of a run: one status line redrawn in place on a terminal,
// and whole lines (messages, the summary) that never mix with it.

#include <chrono>
#include <string>
#include <string_view>

namespace zelmora {

// Writes all of `text` to `fd`; false when the descriptor does not take it
// (a reader that went away, a closed descriptor).
bool WriteAll(int fd, std::string_view text);

class CProgressLine {
public:
    // `enabled`: stderr is a terminal and the operator did not ask for
    // quiet; otherwise Show does nothing.
    CProgressLine(int fd, bool enabled);
    CProgressLine(const CProgressLine&) = delete;
    CProgressLine& operator=(const CProgressLine&) = delete;
    ~CProgressLine();

    // Replaces the status line, cut to the terminal's width so that it never
    // wraps.
    void Show(std::string_view status);
    // A line of its own; the status line is cleared first and comes back at
    // the next Show.
    void Message(std::string_view line);
    // Removes the status line.
    void Clear();

    bool IsEnabled() const { return m_bEnabled; }

private:
    std::size_t Width() const;

    int m_nFd;
    bool m_bEnabled;
    bool m_bShown = false;
};

} // namespace zelmora

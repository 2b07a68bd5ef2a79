#include "scpi/ScpiStatus.h"

#include "util/TextFormat.h"

namespace zelmora {

void CScpiStatus::AddError(int code, std::string_view text) {
    if (code <= -100 && code > -200) {
        SetEvent(kCommandError);
    } else if (code <= -200 && code > -300) {
        SetEvent(kExecutionError);
    } else if (code <= -300 && code > -400) {
        SetEvent(kDeviceError);
    } else if (code <= -400 && code > -500) {
        SetEvent(kQueryError);
    }
    if (m_errors.size() >= kErrorQueueDepth) {
        m_errors.back() = Error{-350, "Queue overflow"};
        SetEvent(kDeviceError);
        return;
    }
    m_errors.push_back(Error{code, std::string(text)});
}

std::string CScpiStatus::NextError() {
    if (m_errors.empty()) {
        return "0,\"No error\"";
    }
    Error error = std::move(m_errors.front());
    m_errors.pop_front();
    // A quote inside the text is doubled, as a string response needs.
    std::string text;
    for (const char c : error.text) {
        text += c;
        if (c == '"') {
            text += c;
        }
    }
    return Format("%d,\"%s\"", error.code, text.c_str());
}

unsigned CScpiStatus::TakeEsr() {
    const unsigned esr = m_nEsr;
    m_nEsr = 0;
    return esr;
}

unsigned CScpiStatus::Stb() const {
    unsigned stb = 0;
    if (!m_errors.empty()) {
        stb |= 1U << 2;
    }
    if ((m_nEsr & m_nEse) != 0) {
        stb |= 1U << 5;
    }
    if ((stb & m_nSre) != 0) {
        stb |= 1U << 6;
    }
    return stb;
}

void CScpiStatus::Clear() {
    m_errors.clear();
    m_nEsr = 0;
}

} // namespace zelmora

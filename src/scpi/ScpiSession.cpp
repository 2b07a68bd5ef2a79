#include "scpi/ScpiSession.h"

#include "record/Record.h"
#include "util/TextFormat.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <utility>

namespace zelmora {

namespace {

// The standard's values for a number too large (Over Range) and for one
// that is not a number.
constexpr double kOverflow = 9.9e37;
constexpr double kNotANumber = 9.91e37;

// Reference limits, in watts and in dBm.
constexpr double kMaxReferenceW = 1000;
constexpr double kMinReferenceDbm = -90;
constexpr double kMaxReferenceDbm = 60;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool IsWord(std::string_view text, std::string_view shortForm, std::string_view longForm) {
    auto same = [&text](std::string_view word) {
        if (word.size() != text.size()) {
            return false;
        }
        for (std::size_t i = 0; i < word.size(); ++i) {
            if (std::toupper(static_cast<unsigned char>(text[i])) != word[i]) {
                return false;
            }
        }
        return true;
    };
    return same(shortForm) || same(longForm);
}

// A message split at every ';' outside a quoted string.
std::vector<std::string_view> SplitUnits(std::string_view message) {
    std::vector<std::string_view> units;
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < message.size(); ++i) {
        const char c = message[i];
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ';') {
            units.push_back(message.substr(start, i - start));
            start = i + 1;
        }
    }
    units.push_back(message.substr(start));
    return units;
}

bool IsHeaderChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '*' || c == '?' ||
           c == '_';
}

// A number in the standard's NR3 form, "1.234560E-03": always two exponent
// digits at least (the Windows runtime's printf writes three), always a
// point.
std::string Nr3(double value) {
    char text[40];
    const auto result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, 6);
    std::string out(text, result.ptr);
    for (char& c : out) {
        c = c == 'e' ? 'E' : c;
    }
    return out;
}

double ToDbm(double watts) {
    return watts > 0 ? 10 * std::log10(watts * 1000) : -kOverflow;
}

} // namespace

CScpiSession::CScpiSession(ScpiMeterInfo info) : m_info(std::move(info)) {}

void CScpiSession::Execute(std::string_view message) {
    std::string path;
    m_bMessageHasQuery = false;
    for (const std::string_view raw : SplitUnits(message)) {
        const std::string_view unit = Trim(raw);
        if (unit.empty()) {
            continue;
        }
        std::size_t end = 0;
        while (end < unit.size() && !IsBlank(unit[end])) {
            ++end;
        }
        std::string_view header = unit.substr(0, end);
        Step step;
        step.parameter = std::string(Trim(unit.substr(end)));
        for (const char c : header) {
            if (!IsHeaderChar(c)) {
                step.errorCode = -101;
                step.errorText = "Invalid character;" + PrintableExcerpt(header, 24);
                break;
            }
        }
        if (step.errorCode == 0) {
            step.query = header.ends_with('?');
            if (step.query) {
                header.remove_suffix(1);
            }
            const bool absolute = header.starts_with(':') || header.starts_with('*');
            // Relative to the previous command's path, as the standard
            // has it; then, leniently, to each node above it.
            while (!absolute && !path.empty() && step.command == nullptr) {
                const std::string joined = path + std::string(header);
                step.command = FindScpiCommand(joined);
                if (step.command != nullptr) {
                    path = ScpiPathOf(joined);
                } else {
                    path = ScpiPathOf(path.substr(0, path.size() - 1));
                }
            }
            if (step.command == nullptr) {
                step.command = FindScpiCommand(header);
                path = ScpiPathOf(header);
            }
            if (step.command == nullptr ||
                (step.query ? !step.command->query : !step.command->set)) {
                step.command = nullptr;
                step.errorCode = -113;
                step.errorText = "Undefined header;" + PrintableExcerpt(unit.substr(0, end), 40);
            }
        }
        m_bMessageHasQuery = m_bMessageHasQuery || step.query;
        const bool failed = step.errorCode != 0;
        m_pending.push_back(std::move(step));
        // After a command error the rest of the message is not run.
        if (failed) {
            break;
        }
    }
    m_pending.push_back(Step{});
    Run();
}

void CScpiSession::Run() {
    while (!m_pending.empty()) {
        Step& step = m_pending.front();
        if (step.command == nullptr && step.errorCode == 0) {
            // The end of a message: its answers, on one line.
            if (!m_answers.empty()) {
                m_output += m_answers;
                m_output += '\n';
                m_answers.clear();
            }
            m_pending.pop_front();
            continue;
        }
        if (!RunStep(step)) {
            return;
        }
        m_pending.pop_front();
    }
}

void CScpiSession::Answer(std::string text) {
    if (!m_answers.empty()) {
        m_answers += ';';
    }
    m_answers += text;
}

void CScpiSession::Error(int code, std::string_view text) {
    m_status.AddError(code, text);
}

void CScpiSession::ReportError(int code, std::string_view text) {
    Error(code, text);
}

std::string CScpiSession::TakeOutput() {
    return std::exchange(m_output, {});
}

bool CScpiSession::NumberParameter(const Step& step, double min, double max, double def,
                                   double& value) {
    const std::string_view text = step.parameter;
    if (text.empty()) {
        Error(-109, "Missing parameter");
        return false;
    }
    if (IsWord(text, "MIN", "MINIMUM")) {
        value = min;
        return true;
    }
    if (IsWord(text, "MAX", "MAXIMUM")) {
        value = max;
        return true;
    }
    if (IsWord(text, "DEF", "DEFAULT")) {
        value = def;
        return true;
    }
    std::size_t end = 0;
    const std::optional<double> number = ScanDouble(text, &end);
    if (!number || end != text.size()) {
        Error(text.find(',') != std::string_view::npos ? -108 : -104,
              text.find(',') != std::string_view::npos ? "Parameter not allowed"
                                                       : "Data type error");
        return false;
    }
    if (*number < min || *number > max) {
        Error(-222, Format("Data out of range;%g to %g", min, max));
        return false;
    }
    value = *number;
    return true;
}

bool CScpiSession::BooleanParameter(const Step& step, bool& value) {
    const std::string_view text = step.parameter;
    if (text.empty()) {
        Error(-109, "Missing parameter");
        return false;
    }
    if (IsWord(text, "ON", "ON") || text == "1") {
        value = true;
        return true;
    }
    if (IsWord(text, "OFF", "OFF") || text == "0") {
        value = false;
        return true;
    }
    Error(-224, "Illegal parameter value;ON|OFF|1|0");
    return false;
}

void CScpiSession::Reset() {
    m_unit = Unit::W;
    m_nAverage = 1;
    m_dReferenceW = 0;
    m_bRelative = false;
    m_dZeroW = 0;
    m_bZeroed = false;
    m_nAcquire = 0;
    m_nZero = 0;
    m_bOpcPending = false;
    m_window.clear();
}

void CScpiSession::StartMeasurement() {
    m_window.clear();
    m_nAcquire = m_nAverage;
}

std::optional<CScpiSession::Reading> CScpiSession::CurrentReading() const {
    if (m_window.empty()) {
        return std::nullopt;
    }
    Reading reading;
    double sum = 0;
    for (const Reading& r : m_window) {
        if (r.status == SampleStatus::NoConversion) {
            return r;
        }
        if (r.status == SampleStatus::OverRange) {
            reading = r;
        }
        sum += r.watts;
    }
    if (reading.status == SampleStatus::OverRange) {
        return reading;
    }
    reading.watts = sum / static_cast<double>(m_window.size());
    reading.range = m_window.back().range;
    return reading;
}

double CScpiSession::Shown(double watts) const {
    double w = watts - (m_bZeroed ? m_dZeroW : 0);
    if (m_unit == Unit::W) {
        return m_bRelative ? w - m_dReferenceW : w;
    }
    const double dbm = ToDbm(w);
    if (!m_bRelative || dbm == -kOverflow || m_dReferenceW <= 0) {
        return dbm;
    }
    return dbm - ToDbm(m_dReferenceW);
}

void CScpiSession::AnswerReading(const std::optional<Reading>& reading) {
    if (m_bMeterLost) {
        Error(-241, "Hardware missing;meter " + m_info.meterId + " is gone");
        Answer(Nr3(kNotANumber));
        return;
    }
    if (!reading) {
        Error(-230, "Data corrupt or stale;no reading yet");
        Answer(Nr3(kNotANumber));
        return;
    }
    switch (reading->status) {
    case SampleStatus::OverRange:
        Answer(Nr3(kOverflow));
        return;
    case SampleStatus::NoConversion:
        Error(-230, Format("Data corrupt or stale;no conversion for range %d", reading->range));
        Answer(Nr3(kNotANumber));
        return;
    case SampleStatus::Ok:
        break;
    }
    Answer(Nr3(Shown(reading->watts)));
}

bool CScpiSession::RunStep(Step& step) {
    if (step.errorCode != 0) {
        Error(step.errorCode, step.errorText);
        return true;
    }
    const ScpiCommand& command = *step.command;
    const std::string_view parameter = step.parameter;
    const bool takesNoParameter = command.parameter == ScpiParameter::None ||
                                  (step.query && command.parameter != ScpiParameter::Bound &&
                                   command.parameter != ScpiParameter::Number);
    if (takesNoParameter && !parameter.empty()) {
        Error(-108, "Parameter not allowed");
        return true;
    }
    // Queries of a number may ask for its limits or its default.
    auto limitQuery = [&](double min, double max, double def, double current) {
        if (parameter.empty()) {
            return current;
        }
        double value = current;
        if (!NumberParameter(step, min, max, def, value) ||
            !(IsWord(parameter, "MIN", "MINIMUM") || IsWord(parameter, "MAX", "MAXIMUM") ||
              IsWord(parameter, "DEF", "DEFAULT"))) {
            return std::nan("");
        }
        return value;
    };
    const bool waitForSample = !m_bMeterLost && !m_lastSample;

    switch (command.action) {
    case ScpiAction::Idn:
        Answer("Zelmora," + m_info.model + "," + m_info.meterId + "," + m_info.version);
        return true;
    case ScpiAction::Rst:
        Reset();
        return true;
    case ScpiAction::Cls:
        m_status.Clear();
        m_bOpcPending = false;
        return true;
    case ScpiAction::Opc:
        if (step.query) {
            if (Busy() && !m_bMeterLost) {
                return false;
            }
            Answer("1");
        } else if (Busy()) {
            m_bOpcPending = true;
        } else {
            m_status.SetEvent(CScpiStatus::kOperationComplete);
        }
        return true;
    case ScpiAction::Wai:
        return !Busy() || m_bMeterLost;
    case ScpiAction::Esr:
        Answer(Format("%u", m_status.TakeEsr()));
        return true;
    case ScpiAction::Ese:
    case ScpiAction::Sre: {
        const bool ese = command.action == ScpiAction::Ese;
        if (step.query) {
            const double value = limitQuery(0, 255, 0, ese ? m_status.Ese() : m_status.Sre());
            if (!std::isnan(value)) {
                Answer(Format("%u", static_cast<unsigned>(value)));
            }
            return true;
        }
        double value = 0;
        if (NumberParameter(step, 0, 255, 0, value)) {
            const auto mask = static_cast<unsigned>(std::lround(value));
            ese ? m_status.SetEse(mask) : m_status.SetSre(mask);
        }
        return true;
    }
    case ScpiAction::Stb:
        Answer(Format("%u", m_status.Stb()));
        return true;
    case ScpiAction::Tst:
        Answer("0");
        return true;
    case ScpiAction::ErrorNext:
        Answer(m_status.NextError());
        return true;
    case ScpiAction::ErrorCount:
        Answer(Format("%llu", static_cast<unsigned long long>(m_status.ErrorCount())));
        return true;
    case ScpiAction::Version:
        Answer("1999.0");
        return true;
    case ScpiAction::HelpHeaders: {
        std::string body;
        for (const std::string& line : ScpiHelpHeaders()) {
            body += line + "\n";
        }
        const std::string length = Format("%llu", static_cast<unsigned long long>(body.size()));
        Answer(Format("#%llu", static_cast<unsigned long long>(length.size())) + length + body);
        return true;
    }
    case ScpiAction::Configure:
        if (step.query) {
            Answer("\"POW\"");
        } else {
            m_nAcquire = 0;
        }
        return true;
    case ScpiAction::Initiate:
        StartMeasurement();
        return true;
    case ScpiAction::Abort:
        m_nAcquire = 0;
        return true;
    case ScpiAction::Measure:
    case ScpiAction::Read:
        if (!step.started) {
            StartMeasurement();
            step.started = true;
        }
        [[fallthrough]];
    case ScpiAction::Fetch:
        if (!m_bMeterLost && (Busy() || m_window.empty())) {
            return false;
        }
        AnswerReading(CurrentReading());
        return true;
    case ScpiAction::Average: {
        if (step.query) {
            const double value = limitQuery(1, kMaxAverage, 1, m_nAverage);
            if (!std::isnan(value)) {
                Answer(Format("%d", static_cast<int>(value)));
            }
            return true;
        }
        double value = 0;
        if (NumberParameter(step, 1, kMaxAverage, 1, value)) {
            m_nAverage = static_cast<int>(std::lround(value));
            while (m_window.size() > static_cast<std::size_t>(m_nAverage)) {
                m_window.pop_front();
            }
            if (m_nAcquire > m_nAverage) {
                m_nAcquire = m_nAverage;
            }
        }
        return true;
    }
    case ScpiAction::Unit:
        if (step.query) {
            Answer(m_unit == Unit::W ? "W" : "DBM");
        } else if (parameter.empty()) {
            Error(-109, "Missing parameter");
        } else if (IsWord(parameter, "W", "WATT")) {
            m_unit = Unit::W;
        } else if (IsWord(parameter, "DBM", "DBM")) {
            m_unit = Unit::DBM;
        } else {
            Error(-224, "Illegal parameter value;W|DBM");
        }
        return true;
    case ScpiAction::Wavelength:
        if (!step.query) {
            Error(-221, "Settings conflict;the wavelength is set on the meter");
            return true;
        }
        if (!parameter.empty() && !IsWord(parameter, "MIN", "MINIMUM") &&
            !IsWord(parameter, "MAX", "MAXIMUM")) {
            Error(-224, "Illegal parameter value;MIN|MAX");
            return true;
        }
        if (waitForSample) {
            return false;
        }
        if (!m_lastSample) {
            Error(-241, "Hardware missing;meter " + m_info.meterId + " is gone");
            Answer(Nr3(kNotANumber));
            return true;
        }
        // The meter has one wavelength at a time, set on it: it is its
        // own least and greatest.
        Answer(Format("%d", m_lastSample->wavelength));
        return true;
    case ScpiAction::Range: {
        if (waitForSample) {
            return false;
        }
        std::optional<double> limit;
        if (m_lastSample && m_info.rangeLimit) {
            limit = m_info.rangeLimit(m_lastSample->range);
        }
        std::optional<double> watts;
        if (limit) {
            watts = ConvertPower(*limit, m_lastSample->unit, RecordUnit::W);
        }
        if (!watts) {
            Error(-230, Format("Data corrupt or stale;no limit for range %d",
                               m_lastSample ? m_lastSample->range : -1));
            Answer(Nr3(kNotANumber));
            return true;
        }
        Answer(Nr3(m_unit == Unit::W ? *watts : ToDbm(*watts)));
        return true;
    }
    case ScpiAction::Reference: {
        const bool dbm = m_unit == Unit::DBM;
        const double min = dbm ? kMinReferenceDbm : 0;
        const double max = dbm ? kMaxReferenceDbm : kMaxReferenceW;
        const double current = dbm ? ToDbm(m_dReferenceW) : m_dReferenceW;
        if (step.query) {
            const double value = limitQuery(min, max, min, current);
            if (!std::isnan(value)) {
                Answer(Nr3(value));
            }
            return true;
        }
        double value = 0;
        if (NumberParameter(step, min, max, min, value)) {
            m_dReferenceW = dbm ? std::pow(10.0, value / 10) / 1000 : value;
        }
        return true;
    }
    case ScpiAction::ReferenceState:
        if (step.query) {
            Answer(m_bRelative ? "1" : "0");
        } else {
            BooleanParameter(step, m_bRelative);
        }
        return true;
    case ScpiAction::ZeroInitiate:
        if (m_bMeterLost) {
            Error(-241, "Hardware missing;meter " + m_info.meterId + " is gone");
            return true;
        }
        m_nZero = kZeroSamples;
        m_nZeroTaken = 0;
        m_dZeroSum = 0;
        return true;
    case ScpiAction::ZeroState:
        if (step.query) {
            Answer(m_bZeroed ? "1" : "0");
            return true;
        }
        if (bool on = false; BooleanParameter(step, on)) {
            m_bZeroed = on;
            if (!on) {
                m_dZeroW = 0;
            }
        }
        return true;
    case ScpiAction::ZeroMagnitude:
        Answer(Nr3(m_dZeroW));
        return true;
    }
    return true;
}

void CScpiSession::OnSample(const MeterSample& sample) {
    m_lastSample = sample;
    Reading reading;
    reading.status = sample.status;
    reading.range = sample.range;
    if (reading.status != SampleStatus::NoConversion) {
        const std::optional<double> watts = ConvertPower(sample.power, sample.unit, RecordUnit::W);
        if (watts) {
            reading.watts = *watts;
        } else {
            reading.status = SampleStatus::NoConversion;
        }
    }
    if (m_nZero > 0) {
        if (reading.status == SampleStatus::Ok) {
            m_dZeroSum += reading.watts;
            ++m_nZeroTaken;
            if (--m_nZero == 0) {
                m_dZeroW = m_dZeroSum / m_nZeroTaken;
                m_bZeroed = true;
            }
        } else {
            m_nZero = 0;
            Error(-200, "Execution error;zero failed: the reading was not in range");
        }
    } else {
        m_window.push_back(reading);
        while (m_window.size() > static_cast<std::size_t>(m_nAverage)) {
            m_window.pop_front();
        }
        if (m_nAcquire > 0) {
            --m_nAcquire;
        }
    }
    if (m_bOpcPending && !Busy()) {
        m_bOpcPending = false;
        m_status.SetEvent(CScpiStatus::kOperationComplete);
    }
    Run();
}

void CScpiSession::OnMeterLost() {
    if (m_bMeterLost) {
        return;
    }
    m_bMeterLost = true;
    m_nAcquire = 0;
    m_nZero = 0;
    Run();
}

} // namespace zelmora

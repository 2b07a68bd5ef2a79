#pragma once

// One SCPI connection to one meter: it parses each program message (one
// line, its commands separated by ';'), runs them against its own
// settings (unit, averaging, reference, zero) and the meter's samples, and
// answers every query of a message on one line, the answers separated by
// ';'. Each connection has settings of its own, so two clients of one
// meter never change each other's readings.
//
// A query that needs a reading not yet there (READ?, MEASure?, FETCh?
// while a measurement runs, *OPC? while one is pending) holds the message:
// the rest of it runs when the samples come (OnSample). The session never
// waits itself; its owner feeds it samples and lines on one thread.
//
// Readings: FETCh? answers the mean of the last N samples (N the
// averaging count) as they come; INITiate starts a new measurement of N
// samples taken after it, and FETCh? waits for it; READ? is INITiate and
// FETCh?, MEASure? is CONFigure and READ?. Over Range reads 9.9E37, a
// reading the meter's tables cannot convert 9.91E37 with an error in the
// queue.

#include "meter/MeterSample.h"
#include "scpi/ScpiCommandTable.h"
#include "scpi/ScpiStatus.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zelmora {

struct ScpiMeterInfo {
    std::string meterId;
    std::string probeFamily;
    std::string probeModel;
    // The program as *IDN? names it, and its version.
    std::string model = "zelmora-cli";
    std::string version = "0";
    // The limit of a range of this probe, in the family's unit; nothing for
    // a range the tables do not know.
    std::function<std::optional<double>(int range)> rangeLimit;
};

class CScpiSession {
public:
    static constexpr int kMaxAverage = 20000;
    // Samples a zero is taken from.
    static constexpr int kZeroSamples = 10;

    explicit CScpiSession(ScpiMeterInfo info);

    // Runs one program message (a line without its LF).
    void Execute(std::string_view message);
    // A sample of the meter, in the order they come.
    void OnSample(const MeterSample& sample);
    // The meter is gone: what waits for a reading gets none.
    void OnMeterLost();
    // An error the connection found (a line too long), for the queue.
    void ReportError(int code, std::string_view text);
    // A message waits for samples; further messages must wait behind it.
    bool Waiting() const { return !m_pending.empty(); }
    // The answers ready to send, each line ending with LF.
    std::string TakeOutput();

private:
    enum class Unit : std::uint8_t { W, DBM };
    struct Reading {
        double watts = 0;
        SampleStatus status = SampleStatus::Ok;
        int range = -1;
    };
    // One command of a message, parsed.
    struct Step {
        const ScpiCommand* command = nullptr;
        bool query = false;
        std::string parameter;
        // READ? and MEASure? start their measurement once only.
        bool started = false;
        // A command error found while parsing, reported in its turn.
        int errorCode = 0;
        std::string errorText;
    };

    // Runs the steps that wait until one must wait for samples; the
    // answers of a finished message go to the output.
    void Run();
    // Runs one step; false when it must wait.
    bool RunStep(Step& step);
    bool Busy() const { return m_nAcquire > 0 || m_nZero > 0; }
    void Answer(std::string text);
    void AnswerReading(const std::optional<Reading>& reading);
    void Error(int code, std::string_view text);
    // Parses the parameter of a Number command into `value`; an error and
    // false when it is none (MIN, MAX and DEF give those numbers).
    bool NumberParameter(const Step& step, double min, double max, double def, double& value);
    bool BooleanParameter(const Step& step, bool& value);
    void Reset();
    void StartMeasurement();
    std::optional<Reading> CurrentReading() const;
    // A power in the session's unit, after its zero and reference.
    double Shown(double watts) const;

    ScpiMeterInfo m_info;
    CScpiStatus m_status;
    std::deque<Step> m_pending;
    std::string m_answers; // of the message running
    std::string m_output;
    bool m_bMessageHasQuery = false;

    Unit m_unit = Unit::W;
    int m_nAverage = 1;
    double m_dReferenceW = 0;
    bool m_bRelative = false;
    double m_dZeroW = 0;
    bool m_bZeroed = false;
    bool m_bOpcPending = false;

    std::optional<MeterSample> m_lastSample;
    // The samples of the running mean, newest last, at most m_nAverage.
    std::deque<Reading> m_window;
    // Samples a started measurement and a started zero still need.
    int m_nAcquire = 0;
    int m_nZero = 0;
    double m_dZeroSum = 0;
    int m_nZeroTaken = 0;
    bool m_bMeterLost = false;
};

} // namespace zelmora

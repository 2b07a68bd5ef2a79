#pragma once

// The log of a measurement: the file the operator keeps for the report.
//
// Two header lines (the meter id, or "No Device"; the date and time when
// logging began, "Sunday, December 06, 2026 23:14:38"), then one record
// per sample: an X field, a comma and the power with six decimals, each
// line ended by CR LF. The X field is the sample's count, its time of day
// or the elapsed collection time, by the layout asked for with each record
// (a file may mix them). The X field and the power of a record come from
// one and the same sample.
//
// Each record reaches the system with one write as it is appended, so a
// crash of the program loses nothing already logged. A failing write
// closes the log with every complete record kept (see CLogFile) and leaves
// the reason in GetError. Numbers are written in the C locale, whatever
// the process locale is.
//
// A plain object of one thread; the window's.

#include "log/LogFile.h"
#include "meter/MeterSample.h"

#include <ctime>
#include <string>

namespace zelmora {

class CSampleLog {
public:
    // The record layouts, in the order of the window's layout list.
    enum Layout : int {
        kCountLayout = 0, // "X:Count,Y:Power"
        kTimeLayout = 1,  // "X:Time,Y:Power"
        kTimerLayout = 2, // "X:Timer,Y:Power"
    };

    // Opens the file at `path` (see CLogFile::Open: created, locked, then
    // emptied) and writes the two header lines: `meterId`, or "No Device"
    // when it is empty, and the local time now. False, with the log closed
    // and the reason in GetError, when the file cannot be opened or the
    // header cannot be written.
    bool Open(const std::string& path, const std::string& meterId);
    // The same with the start time given.
    bool Open(const std::string& path, const std::string& meterId, const std::tm& startTime);
    // Appends the record of `sample` in `layout`. A layout outside the
    // three makes an empty record, which writes nothing. False when the
    // write failed: the log is then closed, every complete record kept.
    bool Append(const MeterSample& sample, int layout);
    void Close();

    bool IsOpen() const { return m_file.IsOpen(); }
    // The path of the open log, or of the last one.
    const std::string& GetPath() const { return m_file.GetPath(); }
    // Why the last Open or Append failed.
    const std::string& GetError() const { return m_file.GetError(); }

    // The record of a sample, CR LF included; empty for an unknown layout.
    static std::string FormatRecord(const MeterSample& sample, int layout);
    // The two header lines, CR LF included.
    static std::string FormatHeader(const std::string& meterId, const std::tm& startTime);
    // The long date and time in English: weekday, month, two-digit day,
    // year, 24-hour time with seconds.
    static std::string FormatStartTime(const std::tm& time);

private:
    CLogFile m_file;
};

} // namespace zelmora

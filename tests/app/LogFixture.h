#pragma once

// What the logging tests share: a meter whose every sample is known by its
// count, a folder for the files, the window's prompts answered and recorded
// by the test, and the log file read back and taken apart.

#include "WindowFixture.h"
#include "util/TextFormat.h"

#include <QFile>
#include <QTemporaryDir>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace zelmora::test {

// A "KV50" probe whose sample n reads 1000 + n on range 2: its power is
// (1000 + n) / 1000 W exactly, so every record tells which sample it came
// from. The ramp starts over after 3000 samples.
inline std::shared_ptr<SimulatedMeter> CountingMeter() {
    SimulatedMeter::Config config;
    config.meterId = "100000001";
    config.probeModel = "KV50";
    config.signal = SignalModel::Ramped(1.0, 4.0, 3000);
    return std::make_shared<SimulatedMeter>(std::move(config));
}

inline std::string PowerOfSample(long long n) {
    return Format("%.6lf", (1000 + n % 3000) / 1000.0);
}

// One record of the file taken apart: its X field, its power field and the
// sample the power belongs to.
struct Record {
    std::string x;
    std::string power;
    long long sample = -1;
};

inline std::optional<Record> ParseRecord(const std::string& line) {
    const std::size_t comma = line.find(',');
    if (comma == std::string::npos || line.find(',', comma + 1) != std::string::npos) {
        return std::nullopt;
    }
    Record record;
    record.x = line.substr(0, comma);
    record.power = line.substr(comma + 1);
    const std::size_t point = record.power.find('.');
    if (record.power.empty() || point == std::string::npos || point == 0 ||
        record.power.size() - point != 7 ||
        record.power.find_first_not_of("0123456789.") != std::string::npos) {
        return std::nullopt;
    }
    // Not std::stod: it reads "1.5" as 1 under the comma locale.
    record.sample = std::llround(*ScanDouble(record.power) * 1000) - 1000;
    return record;
}

// The file's lines without their CR LF; `wellEnded` is false when a line
// ends otherwise or the last one has no end.
struct LogContents {
    std::vector<std::string> lines;
    bool wellEnded = true;
};

inline LogContents ReadLog(const QString& path) {
    QFile file(path);
    LogContents contents;
    if (!file.open(QIODevice::ReadOnly)) {
        contents.wellEnded = false;
        return contents;
    }
    const std::string bytes = file.readAll().toStdString();
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            contents.wellEnded = false;
            contents.lines.push_back(bytes.substr(start));
            break;
        }
        std::string line = bytes.substr(start, end - start);
        if (line.find_first_of("\r\n") != std::string::npos) {
            contents.wellEnded = false;
        }
        contents.lines.push_back(std::move(line));
        start = end + 2;
    }
    return contents;
}

#if !defined(_WIN32)
// True while some logger holds the file's lock.
inline bool IsLocked(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return locked;
}
#endif

// The window's prompts, answered by the test and recorded.
class Prompter {
public:
    explicit Prompter(CZelmoraDlg& window) {
        CZelmoraDlg::Prompts prompts;
        prompts.askOverwrite = [this](const std::string& path) {
            questions.push_back(path);
            return overwrite;
        };
        prompts.showMessage = [this](const std::string& message) { messages.push_back(message); };
        prompts.chooseLogPath = [this] { return chosenPath; };
        window.SetPrompts(std::move(prompts));
    }

    bool overwrite = false;
    std::optional<std::string> chosenPath;
    std::vector<std::string> questions;
    std::vector<std::string> messages;
};

// Types a path into the path box as the operator does.
inline void TypePath(const WindowFixture& fixture, const QString& path) {
    auto* box = fixture.As<QPlainTextEdit>(1019);
    box->setFocus(Qt::MouseFocusReason);
    box->selectAll();
    QTest::keyClick(box, Qt::Key_Backspace);
    QTest::keyClicks(box, path);
}

} // namespace zelmora::test

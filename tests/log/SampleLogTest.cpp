#include "log/SampleLog.h"

#include "log/LogFile.h"
#include "support/CommaLocale.h"
#include "util/TextFormat.h"

#include <clocale>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>

#if !defined(_WIN32)
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zelmora {
namespace {

namespace fs = std::filesystem;

MeterSample Sample(int count, double power) {
    MeterSample sample;
    sample.power = power;
    sample.powerText = "x";
    sample.countText = Format("%d", count);
    sample.timeStampText = "23:14:38(042)";
    sample.durationText = FormatElapsed((count + 1ull) * 100);
    return sample;
}

// A calendar time as the clock gives it: month 1 to 12, weekday 0 for Sunday.
std::tm Time(int year, int month, int day, int weekday, int hour, int minute, int second) {
    std::tm time{};
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    time.tm_wday = weekday;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    return time;
}

// Sunday, 6 December 2026, 23:14:38.
std::tm StartTime() {
    return Time(2026, 12, 6, 0, 23, 14, 38);
}

const std::string kHeader = "100000001\r\nSunday, December 06, 2026 23:14:38\r\n";

TEST(SampleLogFormatTest, RecordsInTheThreeLayoutsFromOneSample) {
    const MeterSample sample = Sample(7, 0.0123456789);
    EXPECT_EQ(CSampleLog::FormatRecord(sample, CSampleLog::kCountLayout), "7,0.012346\r\n");
    EXPECT_EQ(CSampleLog::FormatRecord(sample, CSampleLog::kTimeLayout),
              "23:14:38(042),0.012346\r\n");
    EXPECT_EQ(CSampleLog::FormatRecord(sample, CSampleLog::kTimerLayout),
              "00:00:00(800),0.012346\r\n");
    // No layout selected: no record.
    EXPECT_EQ(CSampleLog::FormatRecord(sample, -1), "");
    EXPECT_EQ(CSampleLog::FormatRecord(sample, 3), "");
    // Big numbers (a "ZN" probe's milliwatts, an over-range reading) stay
    // plain, without exponent or grouping.
    EXPECT_EQ(CSampleLog::FormatRecord(Sample(0, 29990), 0), "0,29990.000000\r\n");
    EXPECT_EQ(CSampleLog::FormatRecord(Sample(12345, 1234567.5), 0), "12345,1234567.500000\r\n");
}

TEST(SampleLogFormatTest, HeaderInEnglishWithAPointWhateverTheLocale) {
    CommaLocale comma;
    if (!comma.IsActive()) {
        GTEST_SKIP() << "no comma locale here";
    }
    EXPECT_EQ(CSampleLog::FormatHeader("100000001", StartTime()), kHeader);
    EXPECT_EQ(CSampleLog::FormatHeader("", StartTime()),
              "No Device\r\nSunday, December 06, 2026 23:14:38\r\n");
    EXPECT_EQ(CSampleLog::FormatStartTime(Time(2024, 2, 29, 4, 7, 5, 9)),
              "Thursday, February 29, 2024 07:05:09");
    EXPECT_EQ(CSampleLog::FormatRecord(Sample(1, 0.5), 0), "1,0.500000\r\n");
}

class SampleLogFileTest : public ::testing::Test {
protected:
    SampleLogFileTest() {
        std::random_device random;
        m_folder = fs::temp_directory_path() / ("zelmora-log-" + std::to_string(random()));
        fs::create_directories(m_folder);
    }
    ~SampleLogFileTest() override {
        std::error_code ignored;
        fs::remove_all(m_folder, ignored);
    }

    std::string Path(const std::string& name) const { return (m_folder / name).string(); }

    static std::string Contents(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }

    fs::path m_folder;
};

TEST_F(SampleLogFileTest, EachRecordIsInTheFileAsSoonAsItIsAppended) {
    const std::string path = Path("Power Data.csv");
    {
        std::ofstream old(path, std::ios::binary);
        old << "yesterday's measurement, longer than today's header and records\r\n";
    }
    EXPECT_TRUE(CLogFile::HoldsData(path));

    CSampleLog log;
    ASSERT_TRUE(log.Open(path, "100000001", StartTime())) << log.GetError();
    EXPECT_TRUE(log.IsOpen());
    EXPECT_EQ(log.GetPath(), path);
    std::string expected = kHeader;
#if !defined(_WIN32) // Windows lets nobody read a file opened without sharing
    EXPECT_EQ(Contents(path), expected);
#endif
    // A file may mix layouts: each record takes the one asked for.
    for (int count = 0; count < 3; ++count) {
        const MeterSample sample = Sample(count, 0.01 * (count + 1));
        ASSERT_TRUE(log.Append(sample, count));
        expected += CSampleLog::FormatRecord(sample, count);
#if !defined(_WIN32)
        EXPECT_EQ(Contents(path), expected) << "record " << count;
#endif
    }
    EXPECT_TRUE(log.Append(Sample(3, 1), -1)) << "an empty record writes nothing";
    log.Close();
    EXPECT_FALSE(log.IsOpen());
    EXPECT_EQ(Contents(path),
              kHeader + "0,0.010000\r\n23:14:38(042),0.020000\r\n00:00:00(300),0.030000\r\n");
}

TEST_F(SampleLogFileTest, ASecondLoggerIsRefusedAndEmptiesNothing) {
    const std::string path = Path("shared.csv");
    CSampleLog first;
    ASSERT_TRUE(first.Open(path, "100000001", StartTime()));
    ASSERT_TRUE(first.Append(Sample(0, 0.5), 0));

    CSampleLog second;
    EXPECT_FALSE(second.Open(path, "100000002", StartTime()));
    EXPECT_FALSE(second.IsOpen());
#if defined(_WIN32)
    EXPECT_EQ(second.GetError(), "Another program is using this file");
#else
    EXPECT_EQ(second.GetError(), "Another logger is writing to this file");
#endif
    ASSERT_TRUE(first.Append(Sample(1, 0.25), 0));
    first.Close();
    EXPECT_EQ(Contents(path), kHeader + "0,0.500000\r\n1,0.250000\r\n");

    // Once the first has let go, the file is free.
    EXPECT_TRUE(second.Open(path, "100000002", StartTime())) << second.GetError();
}

TEST_F(SampleLogFileTest, AFileThatCannotBeOpenedLeavesTheLogClosedWithTheReason) {
    CSampleLog log;
    EXPECT_FALSE(log.Open(Path("missing folder/data.csv"), "", StartTime()));
    EXPECT_FALSE(log.IsOpen());
#if !defined(_WIN32)
    EXPECT_EQ(log.GetError(), "No such file or directory");
#else
    EXPECT_NE(log.GetError(), "");
#endif
    fs::create_directories(m_folder / "folder.csv");
    EXPECT_FALSE(log.Open(Path("folder.csv"), "", StartTime()));
    EXPECT_NE(log.GetError(), "");
    EXPECT_FALSE(log.Append(Sample(0, 1), 0)) << "nothing is written to a closed log";

    EXPECT_FALSE(CLogFile::HoldsData(Path("folder.csv")));
    EXPECT_FALSE(CLogFile::HoldsData(Path("nothing.csv")));
    std::ofstream(Path("empty.csv")).close();
    EXPECT_FALSE(CLogFile::HoldsData(Path("empty.csv")));
}

#if !defined(_WIN32)

TEST_F(SampleLogFileTest, AFullDeviceFailsTheHeaderAndTheLogStaysClosed) {
    CSampleLog log;
    EXPECT_FALSE(log.Open("/dev/full", "100000001", StartTime()));
    EXPECT_FALSE(log.IsOpen());
    EXPECT_EQ(log.GetError(), "No space left on device");
}

TEST_F(SampleLogFileTest, AReaderThatGoesAwayFailsTheWriteAndNotTheProgram) {
    // The default disposition of SIGPIPE ends the process: this test would
    // die with it rather than fail.
    ASSERT_EQ(std::signal(SIGPIPE, SIG_DFL), SIG_DFL);
    const std::string path = Path("pipe");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    CSampleLog log;
    ASSERT_TRUE(log.Open(path, "100000001", StartTime())) << log.GetError();
    ASSERT_TRUE(log.Append(Sample(0, 0.5), 0));
    ::close(reader);
    EXPECT_FALSE(log.Append(Sample(1, 0.25), 0));
    EXPECT_FALSE(log.IsOpen());
    EXPECT_EQ(log.GetError(), "Broken pipe");
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "no signal is left waiting";
}

// A file-size limit makes the system take only the part of a write that
// fits (a short write), then refuse the rest: as a disk that fills up in
// the middle of a record.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_previous);
        rlimit limit = m_previous;
        limit.rlim_cur = bytes;
        m_active = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_previous); }
    bool IsActive() const { return m_active; }

private:
    rlimit m_previous{};
    bool m_active = false;
};

TEST_F(SampleLogFileTest, AWriteThatDoesNotFitIsCutBackToTheLastWholeRecord) {
    const std::string whole = kHeader + "0,0.500000\r\n1,0.250000\r\n";
    // 5 bytes of the next record fit; then none at all.
    for (const rlim_t room : {5u, 0u}) {
        const std::string path = Path("limited.csv");
        CSampleLog log;
        ASSERT_TRUE(log.Open(path, "100000001", StartTime()));
        ASSERT_TRUE(log.Append(Sample(0, 0.5), 0));
        ASSERT_TRUE(log.Append(Sample(1, 0.25), 0));
        {
            FileSizeLimit limit(whole.size() + room);
            ASSERT_TRUE(limit.IsActive());
            EXPECT_FALSE(log.Append(Sample(2, 0.125), 0));
        }
        EXPECT_FALSE(log.IsOpen()) << "a failed write closes the log";
        EXPECT_EQ(log.GetError(), "File too large");
        EXPECT_EQ(Contents(path), whole) << room << " bytes of room";
    }
}

// A run that appends keeps what the file holds; a text of several records
// that fits only in part keeps the records that fit whole.
TEST_F(SampleLogFileTest, AppendedRecordsThatDoNotAllFitKeepTheWholeOnes) {
    const std::string path = Path("appended.csv");
    {
        CLogFile file;
        ASSERT_TRUE(file.Open(path));
        ASSERT_TRUE(file.Write("old\n"));
    }
    CLogFile file;
    ASSERT_TRUE(file.Open(path, {.append = true, .waitForReader = true}));
    const std::string records = "first\nsecond\nthird\n";
    const std::size_t ends[] = {6, 13, 19};
    std::size_t kept = 0;
    {
        FileSizeLimit limit(4 + 13 + 3); // "thi" fits
        ASSERT_TRUE(limit.IsActive());
        EXPECT_FALSE(file.WriteRecords(records, ends, kept));
    }
    EXPECT_EQ(kept, 2u);
    EXPECT_EQ(file.GetError(), "File too large");
    EXPECT_FALSE(file.ReaderGone());
    EXPECT_EQ(Contents(path), "old\nfirst\nsecond\n");
}

#endif

} // namespace
} // namespace zelmora

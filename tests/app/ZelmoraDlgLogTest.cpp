// Logging from the main window: the file in each layout read back line by
// line, the numbered names of successive runs, the question before a file
// with data is emptied, every failure told and leaving logging off, samples
// lost while the window was held up, and the file closed by the close box
// and by SIGTERM.

#include "LogFixture.h"
#include "ModalHelper.h"
#include "app/TerminationSignals.h"
#include "app/ZelmoraApp.h"
#include "log/SampleLog.h"

#include <QFileDialog>
#include <QRegularExpression>
#include <chrono>
#include <clocale>
#include <csignal>
#include <thread>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace zelmora {

using test::CountingMeter;
using test::ParseRecord;
using test::PowerOfSample;
using test::Prompter;
using test::ReadLog;
using test::Record;
using test::TypePath;
using test::WindowFixture;

class ZelmoraDlgLogTest : public QObject {
    Q_OBJECT

    static constexpr int kWait = 10000;
    // The meter polls ten times faster than its nominal 100 ms.
    static constexpr CDeviceLink::TestTuning kFast{.pollSpeedUp = 10};

    QTemporaryDir m_folder;

    QString Path(const QString& name) const { return m_folder.filePath(name); }

    static int Count(const WindowFixture& fixture) { return fixture.Text(1008).toInt(); }

    static bool IsLogging(const WindowFixture& fixture) {
        return fixture.Text(1017) == "Off" && fixture.IsChecked(1051);
    }

    static bool IsOff(const WindowFixture& fixture) {
        return fixture.Text(1017) == "On" && !fixture.IsChecked(1051);
    }

    // Whether the process has a handler for SIGTERM, as Linux reports it.
    static bool CatchesSigterm(long long pid) {
        QFile status(QString("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly)) {
            return false;
        }
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("SigCgt:")) {
                return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGTERM - 1)) & 1;
            }
        }
        return false;
    }

    static bool Contains(const std::vector<std::string>& messages, const std::string& part) {
        return messages.size() == 1 && messages[0].find(part) != std::string::npos;
    }

private slots:
    void initTestCase() { QVERIFY(m_folder.isValid()); }

    void logsEverySampleInEachLayout_data() {
        QTest::addColumn<int>("layout");
        QTest::newRow("X:Count,Y:Power") << 0;
        QTest::newRow("X:Time,Y:Power") << 1;
        QTest::newRow("X:Timer,Y:Power") << 2;
    }

    void logsEverySampleInEachLayout() {
        QFETCH(int, layout);
        // Qt took the comma locale of the environment: numbers must not.
        QCOMPARE(QString(std::localeconv()->decimal_point), QString(","));

        WindowFixture fixture({CountingMeter()}, kFast);
        Prompter prompter(fixture.Window());
        const QString path = Path(QString("layout%1.csv").arg(layout));
        TypePath(fixture, path);
        fixture.Select(1041, layout);
        fixture.Click(1020);
        QTRY_VERIFY_WITH_TIMEOUT(Count(fixture) >= 3, kWait);
        fixture.Click(1017);
        QVERIFY(IsLogging(fixture));
        const int first = Count(fixture);
        QTRY_VERIFY_WITH_TIMEOUT(Count(fixture) >= first + 30, kWait);
        fixture.Click(1017);
        QVERIFY(IsOff(fixture));
        QCOMPARE(fixture.Text(1019), Path(QString("layout%1_1.csv").arg(layout)));
        fixture.Click(1020);
        QVERIFY(prompter.questions.empty());
        QVERIFY(prompter.messages.empty());

        const test::LogContents log = ReadLog(path);
        QVERIFY(log.wellEnded);
        QVERIFY(log.lines.size() >= 32);
        QCOMPARE(log.lines[0], std::string("100000001"));
        const QRegularExpression longDate(
            "^(Sun|Mon|Tues|Wednes|Thurs|Fri|Satur)day, (January|February|March|April|May|June|"
            "July|August|September|October|November|December) \\d\\d, \\d{4} "
            "[0-2]\\d:[0-5]\\d:[0-5]\\d$");
        QVERIFY2(longDate.match(QString::fromStdString(log.lines[1])).hasMatch(),
                 log.lines[1].c_str());

        const QRegularExpression clock("^\\d\\d:[0-5]\\d:[0-5]\\d\\(\\d\\d\\d\\)$");
        long long previousSample = -1;
        std::string previousX;
        for (std::size_t i = 2; i < log.lines.size(); ++i) {
            const std::optional<Record> record = ParseRecord(log.lines[i]);
            QVERIFY2(record, log.lines[i].c_str());
            // Each sample once, in order, none left out.
            if (previousSample >= 0) {
                QCOMPARE(record->sample, previousSample + 1);
            }
            previousSample = record->sample;
            // The X field belongs to the sample whose power is beside it.
            switch (layout) {
            case 0:
                QCOMPARE(record->x, std::to_string(record->sample));
                break;
            case 1:
                QVERIFY2(clock.match(QString::fromStdString(record->x)).hasMatch(),
                         record->x.c_str());
                // Later or equal, unless the clock passed midnight.
                QVERIFY2(previousX <= record->x || (previousX >= "23" && record->x < "01"),
                         record->x.c_str());
                break;
            default:
                // Nominal periods, however fast the test polled.
                QCOMPARE(record->x, FormatElapsed((record->sample + 1) * 100ull));
                break;
            }
            previousX = record->x;
            QCOMPARE(record->power, PowerOfSample(record->sample));
        }
    }

    void offLogsTheSamplesTheMeterHasAlreadyGiven() {
        // A Fixed collection of five samples, taken by the meter while the
        // window is busy elsewhere: none has been shown when Off is pressed.
        WindowFixture fixture({CountingMeter()}, kFast);
        Prompter prompter(fixture.Window());
        const QString path = Path("off.csv");
        TypePath(fixture, path);
        fixture.Click(1009);
        fixture.Enter(1011, "4");
        fixture.Click(1017);
        fixture.Click(1020);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        fixture.Click(1017);
        QVERIFY(IsOff(fixture));
        QCOMPARE(fixture.Text(1008), QString("4"));

        const test::LogContents log = ReadLog(path);
        QVERIFY(log.wellEnded);
        QCOMPARE(log.lines.size(), std::size_t(2 + 5));
        for (std::size_t i = 2; i < log.lines.size(); ++i) {
            const std::optional<Record> record = ParseRecord(log.lines[i]);
            QVERIFY2(record, log.lines[i].c_str());
            QCOMPARE(record->x, std::to_string(i - 2));
        }
        QVERIFY(prompter.messages.empty());
    }

    void numbersTheFilesOfSuccessiveRuns() {
        WindowFixture fixture;
        Prompter prompter(fixture.Window());
        TypePath(fixture, Path("run.csv"));
        for (const char* next : {"run_1.csv", "run_2.csv"}) {
            fixture.Click(1017);
            QVERIFY(IsLogging(fixture));
            fixture.Click(1017);
            QCOMPARE(fixture.Text(1019), Path(next));
        }
        // No meter: the header alone, with "No Device".
        const test::LogContents log = ReadLog(Path("run_1.csv"));
        QVERIFY(log.wellEnded);
        QCOMPARE(log.lines.size(), std::size_t(2));
        QCOMPARE(log.lines[0], std::string("No Device"));

        // A name typed without a folder opens in the current folder, and the
        // numbering goes on from the last full path.
        const QString previous = QDir::currentPath();
        QDir::setCurrent(m_folder.path());
        TypePath(fixture, "typed.csv");
        fixture.Click(1017);
        fixture.Click(1017);
        QDir::setCurrent(previous);
        QVERIFY(QFile::exists(Path("typed.csv")));
        QCOMPARE(fixture.Text(1019), Path("run_3.csv"));

        // A name without an extension has no numbered form: the next run
        // would empty the same file, so it asks first.
        TypePath(fixture, Path("data"));
        fixture.Click(1017);
        fixture.Click(1017);
        QCOMPARE(fixture.Text(1019), Path("data"));
        fixture.Click(1017);
        QCOMPARE(prompter.questions, std::vector<std::string>{Path("data").toStdString()});
        QVERIFY(IsOff(fixture));
        QVERIFY(prompter.messages.empty());
    }

    void asksBeforeEmptyingAFileWithData() {
        WindowFixture fixture;
        Prompter prompter(fixture.Window());
        const QString path = Path("yesterday.csv");
        {
            QFile old(path);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write("100000001\r\nMonday, May 04, 2026 10:00:00\r\n0,0.012345\r\n");
        }
        TypePath(fixture, path);

        prompter.overwrite = false;
        fixture.Click(1017);
        QCOMPARE(prompter.questions, std::vector<std::string>{path.toStdString()});
        QVERIFY(IsOff(fixture));
        QCOMPARE(fixture.Text(1019), path);
        QCOMPARE(ReadLog(path).lines.size(), std::size_t(3));

        prompter.overwrite = true;
        fixture.Click(1017);
        QVERIFY(IsLogging(fixture));
        QCOMPARE(prompter.questions.size(), std::size_t(2));
        fixture.Click(1017);
        QCOMPARE(ReadLog(path).lines.size(), std::size_t(2));

        // An empty file holds nothing to lose.
        QVERIFY(QFile(Path("empty.csv")).open(QIODevice::WriteOnly));
        TypePath(fixture, Path("empty.csv"));
        fixture.Click(1017);
        QVERIFY(IsLogging(fixture));
        QCOMPARE(prompter.questions.size(), std::size_t(2));
        QVERIFY(prompter.messages.empty());
    }

    void aFileThatCannotBeOpenedIsToldAndLoggingStaysOff() {
        WindowFixture fixture;
        struct Case {
            QString path;
            std::string reason;
        };
        const QString held = Path("held.csv");
        CSampleLog otherLogger;
        QVERIFY(otherLogger.Open(held.toStdString(), "100000002"));
        std::vector<Case> cases = {
            {Path("no such folder/data.csv"), "No such file or directory"},
            {held, "Another logger is writing to this file"},
            {"/dev/full", "No space left on device"}, // the header does not fit
        };
        for (const Case& c : cases) {
            Prompter prompter(fixture.Window());
            prompter.overwrite = true; // the held file has the other's header
            TypePath(fixture, c.path);
            fixture.Click(1017);
            QVERIFY2(IsOff(fixture), qPrintable(c.path));
            QVERIFY2(Contains(prompter.messages, c.reason), qPrintable(c.path));
            QVERIFY(Contains(prompter.messages, c.path.toStdString()));
            // Nothing was logged, so nothing new is proposed.
            QCOMPARE(fixture.Text(1019), c.path);
        }
        otherLogger.Close();
        // The other logger's file was not touched.
        QCOMPARE(ReadLog(held).lines.size(), std::size_t(2));
    }

#if !defined(_WIN32)
    void aWriteThatFailsSwitchesLoggingOffAndKeepsTheFile() {
        WindowFixture fixture({CountingMeter()}, kFast);
        Prompter prompter(fixture.Window());
        const QString path = Path("full.csv");
        TypePath(fixture, path);
        fixture.Click(1020);
        fixture.Click(1017);
        QTRY_VERIFY_WITH_TIMEOUT(ReadLog(path).lines.size() >= 12, kWait);

        // The disk fills up in the middle of the next record: 3 bytes fit.
        // (Records are written on this thread, so the file cannot grow
        // between measuring it and setting the limit.)
        const qint64 size = QFileInfo(path).size();
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit previous{};
        getrlimit(RLIMIT_FSIZE, &previous);
        rlimit limit = previous;
        limit.rlim_cur = static_cast<rlim_t>(size + 3);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!prompter.messages.empty(), kWait);
        setrlimit(RLIMIT_FSIZE, &previous);

        QVERIFY(IsOff(fixture));
        QVERIFY(Contains(prompter.messages, "File too large"));
        QVERIFY(Contains(prompter.messages, path.toStdString()));
        QCOMPARE(fixture.Text(1019), Path("full_1.csv"));
        // Every complete record stays, and no part of the failed one.
        QCOMPARE(QFileInfo(path).size(), size);
        const test::LogContents log = ReadLog(path);
        QVERIFY(log.wellEnded);
        for (std::size_t i = 2; i < log.lines.size(); ++i) {
            QVERIFY2(ParseRecord(log.lines[i]), log.lines[i].c_str());
        }
        // The meter goes on; only logging stopped.
        const int count = Count(fixture);
        QTRY_VERIFY_WITH_TIMEOUT(Count(fixture) > count, kWait);
        QCOMPARE(QFileInfo(path).size(), size);
    }
#endif

    void samplesLostWhileTheWindowWasHeldUpAreShownAndTold() {
        // A queue of 20 samples at a 5 ms poll: the window overflows it by
        // sleeping.
        WindowFixture fixture({CountingMeter()}, {.pollSpeedUp = 20, .queueCapacity = 20});
        Prompter prompter(fixture.Window());
        auto* lostLabel = fixture.Window().findChild<QLabel*>("lostSamples");
        QVERIFY(lostLabel != nullptr);
        const QString path = Path("gaps.csv");
        TypePath(fixture, path);
        fixture.Click(1020);
        fixture.Click(1017);
        QTRY_VERIFY_WITH_TIMEOUT(Count(fixture) >= 5, kWait);
        QVERIFY(lostLabel->isHidden());

        for (int i = 0; i < 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            QTRY_VERIFY_WITH_TIMEOUT(lostLabel->isVisible(), kWait);
        }
        const int count = Count(fixture);
        QTRY_VERIFY_WITH_TIMEOUT(Count(fixture) > count + 5, kWait);
        fixture.Click(1017);
        fixture.Click(1020);
        // Told once for the run; the label keeps the total.
        QVERIFY(Contains(prompter.messages, "samples were lost"));
        const QRegularExpressionMatch lost =
            QRegularExpression("^(\\d+) samples lost").match(lostLabel->text());
        QVERIFY2(lost.hasMatch(), qPrintable(lostLabel->text()));

        // The gaps in the file add up to the samples lost; nothing else is
        // missing and nothing is there twice.
        const test::LogContents log = ReadLog(path);
        QVERIFY(log.wellEnded);
        long long previous = -1;
        long long missing = 0;
        for (std::size_t i = 2; i < log.lines.size(); ++i) {
            const std::optional<Record> record = ParseRecord(log.lines[i]);
            QVERIFY2(record, log.lines[i].c_str());
            QCOMPARE(record->x, std::to_string(record->sample));
            if (previous >= 0) {
                QVERIFY(record->sample > previous);
                missing += record->sample - previous - 1;
            }
            previous = record->sample;
        }
        QVERIFY(missing > 0);
        QCOMPARE(missing, lost.captured(1).toLongLong());
    }

#if !defined(_WIN32)
    void theCloseBoxAndSigtermCloseTheLog_data() {
        QTest::addColumn<bool>("signal");
        QTest::newRow("close box") << false;
        QTest::newRow("SIGTERM") << true;
    }

    void theCloseBoxAndSigtermCloseTheLog() {
        QFETCH(bool, signal);
        WindowFixture fixture({CountingMeter()}, kFast);
        Prompter prompter(fixture.Window());
        CTerminationSignals termination(CZelmoraApp::CloseAllWindows);
        QVERIFY(termination.IsInstalled());
        const QString path = Path(signal ? "signal.csv" : "closed.csv");
        TypePath(fixture, path);
        fixture.Click(1020);
        fixture.Click(1017);
        QTRY_VERIFY_WITH_TIMEOUT(ReadLog(path).lines.size() >= 5, kWait);
        QVERIFY(test::IsLocked(path));
        if (signal) {
            std::raise(SIGTERM);
        } else {
            fixture.Window().close();
        }
        QTRY_VERIFY_WITH_TIMEOUT(!fixture.Window().isVisible(), kWait);
        QVERIFY(!test::IsLocked(path));
        const test::LogContents log = ReadLog(path);
        QVERIFY(log.wellEnded);
        QVERIFY(ParseRecord(log.lines.back()));
        // No new name is proposed for a run the window ended.
        QCOMPARE(fixture.Text(1019), path);
        QVERIFY(prompter.messages.empty());
    }
#endif

#if defined(Q_OS_LINUX)
    // The program itself, from its start: SIGTERM ends it as the close box
    // does, with a normal exit. Started with fork and exec rather than
    // QProcess, whose child shares the test's memory until it execs, which
    // ThreadSanitizer then takes for a fork after which the test may start
    // no more threads.
    void theProgramEndsNormallyOnSigterm() {
        std::vector<std::string> environment;
        for (char** variable = environ; *variable != nullptr; ++variable) {
            if (!QByteArray(*variable).startsWith("ASAN_OPTIONS=")) {
                environment.emplace_back(*variable);
            }
        }
        // Qt's caches live until exit; only the exit status matters here.
        environment.emplace_back("ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0");
        std::vector<char*> envp;
        for (std::string& variable : environment) {
            envp.push_back(variable.data());
        }
        envp.push_back(nullptr);
        std::string program = ZELMORA_PROGRAM;
        std::string simulate = "--simulate";
        char* argv[] = {program.data(), simulate.data(), nullptr};

        struct Child {
            pid_t pid = -1;
            ~Child() {
                if (pid > 0) {
                    ::kill(pid, SIGKILL);
                    ::waitpid(pid, nullptr, 0);
                }
            }
        } child;
        child.pid = ::fork();
        QVERIFY(child.pid >= 0);
        if (child.pid == 0) {
            // Neither Qt Test's handlers nor the signals ThreadSanitizer
            // blocks around a fork may reach the program.
            struct sigaction byDefault {};
            byDefault.sa_handler = SIG_DFL;
            ::sigaction(SIGTERM, &byDefault, nullptr);
            ::sigaction(SIGINT, &byDefault, nullptr);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execve(argv[0], argv, envp.data());
            ::_exit(127);
        }
        // Until its handler is in place, SIGTERM would kill it outright.
        const QString executable = QFileInfo(program.c_str()).canonicalFilePath();
        QTRY_VERIFY_WITH_TIMEOUT(
            QFileInfo(QString("/proc/%1/exe").arg(child.pid)).symLinkTarget() == executable &&
                CatchesSigterm(child.pid),
            60000);
        QCOMPARE(::kill(child.pid, SIGTERM), 0);
        int status = 0;
        // The macro evaluates its condition once more at the end.
        const auto exited = [&] {
            if (child.pid > 0 && ::waitpid(child.pid, &status, WNOHANG) == child.pid) {
                child.pid = -1;
            }
            return child.pid < 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(exited(), 60000);
        QVERIFY2(WIFEXITED(status), "ended by a signal");
        QCOMPARE(WEXITSTATUS(status), 0);
    }
#endif

    void openPicksThePathInTheSaveFileDialog() {
        WindowFixture fixture;
        // The platform's dialog, as the program shows it.
        QStringList filters;
        QString suffix;
        bool confirmsOverwrite = false;
        test::ModalAnswerer answer([&](QWidget& modal) {
            auto* dialog = qobject_cast<QFileDialog*>(&modal);
            if (dialog == nullptr) {
                modal.close();
                return;
            }
            filters = dialog->nameFilters();
            suffix = dialog->defaultSuffix();
            confirmsOverwrite = !dialog->testOption(QFileDialog::DontConfirmOverwrite) &&
                                dialog->acceptMode() == QFileDialog::AcceptSave;
            dialog->reject();
        });
        const QString before = fixture.Text(1019);
        fixture.Click(1018);
        QVERIFY(answer.Answered());
        QCOMPARE(filters, QStringList({"Comma Separated Value(*.csv)", "TEXT(*.txt)"}));
        QCOMPARE(suffix, QString("csv"));
        QVERIFY(confirmsOverwrite);
        QCOMPARE(fixture.Text(1019), before);

        // A picked path replaces the box and restarts the numbering.
        Prompter prompter(fixture.Window());
        prompter.chosenPath = Path("picked.txt").toStdString();
        fixture.Click(1018);
        QCOMPARE(fixture.Text(1019), Path("picked.txt"));
        fixture.Click(1017);
        fixture.Click(1017);
        QCOMPARE(fixture.Text(1019), Path("picked_1.txt"));
    }
};

} // namespace zelmora

QTEST_MAIN(zelmora::ZelmoraDlgLogTest)
#include "ZelmoraDlgLogTest.moc"

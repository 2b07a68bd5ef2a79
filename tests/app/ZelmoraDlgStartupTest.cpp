// The main window as it opens, and the keys and commands that do not need a
// meter.

#include "ModalHelper.h"
#include "WindowFixture.h"
#include "app/AboutDlg.h"
#include "frontend/AppOptions.h"

#include <QAction>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QToolBar>

namespace zelmora {

using test::WindowFixture;

// Receives the URLs the window asks the desktop to open.
class UrlCatcher : public QObject {
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void Open(const QUrl& url) { urls << url; }
};

class ZelmoraDlgStartupTest : public QObject {
    Q_OBJECT

private slots:
    void textsAndStatesAtStartUp() {
        WindowFixture fixture;
        QCOMPARE(fixture.Window().windowTitle(), QString("OrvantaPower Meter V2.4.9.30"));
        const std::pair<int, const char*> texts[] = {
            {1037, "Rescan"},
            {1020, "Start"},
            {1021, "Power"},
            {1000, "0.0W"},
            {1022, "Wavelength(nm)"},
            {1001, ""},
            {1038, "nm"},
            {1023, "Live Data Averaging"},
            {1007, "1"},
            {1024, "Mean"},
            {1025, "Std.Dev"},
            {1004, "% of Mean"},
            {1005, ""},
            {1006, ""},
            {1026, "Min"},
            {1027, "Max"},
            {1002, ""},
            {1003, ""},
            {1031, "Counts"},
            {1008, ""},
            {1042, ""},
            {1009, "Fixed"},
            {1010, "Continuous"},
            {1033, "Sample Size"},
            {1011, "200"},
            {1012, "Reset"},
            {1013, "Time Interval"},
            {1014, "Streaming"},
            {1049, "Total Time"},
            {1015, "00:03:20(000)"},
            {1044, "Point Count"},
            {1050, "(0 is no limited)"},
            {1043, "2000"},
            {1048, "Time Interval"},
            {1045, "0.10"},
            {1046, "sec"},
            {1035, "Log Data To File"},
            {1017, "On"},
            {1036, "Log Data File Path"},
            {1018, "Open"},
            {1041, "X:Count,Y:Power"},
            {1029, "Autoscale"},
            {1057, "Graphic"},
        };
        for (const auto& [id, text] : texts) {
            QVERIFY2(fixture.Control(id) != nullptr, qPrintable(QString::number(id)));
            QCOMPARE(fixture.Control(id)->objectName(), QString::number(id));
            QCOMPARE(fixture.Text(id), QString::fromUtf8(text));
        }
        QCOMPARE(fixture.As<QGroupBox>(1032)->title(), QString("Sample Collection"));
        QCOMPARE(fixture.As<QGroupBox>(1034)->title(), QString("Collection Mode"));
        QVERIFY(fixture.Window().findChild<QLabel*>("durationLabel")->text() == "Duration");

        // Checked: Autoscale, Continuous, Streaming; nothing else.
        for (const int id : {1029, 1010, 1014}) {
            QVERIFY(fixture.IsChecked(id));
        }
        for (const int id : {1004, 1009, 1013, 1051}) {
            QVERIFY(!fixture.IsChecked(id));
        }
        // Hidden: the Time Interval group, the graph frame and the focus sink.
        for (const int id : {1049, 1015, 1044, 1050, 1043, 1048, 1045, 1046, 1030, 1056}) {
            QVERIFY2(fixture.Control(id)->isHidden(), qPrintable(QString::number(id)));
        }
        QVERIFY(!fixture.Control(1051)->isEnabled());
        for (const int id : {1000, 1001, 1005, 1006, 1002, 1003, 1008, 1042, 1015, 1056}) {
            QVERIFY(fixture.As<QLineEdit>(id)->isReadOnly());
        }
        for (const int id : {1007, 1011, 1043, 1045}) {
            QVERIFY(!fixture.As<QLineEdit>(id)->isReadOnly());
        }
        QVERIFY(fixture.Text(1019).endsWith("/Power Data.csv"));
    }

    void listsAndEmptyMeterList() {
        WindowFixture fixture;
        auto entries = [&fixture](int id) {
            QStringList list;
            for (int i = 0; i < fixture.As<QComboBox>(id)->count(); ++i) {
                list << fixture.As<QComboBox>(id)->itemText(i);
            }
            return list;
        };
        QCOMPARE(entries(1038), (QStringList{"nm", "μm"}));
        QCOMPARE(entries(1038)[1].at(0).unicode(), char16_t(0x03BC));
        QCOMPARE(entries(1041),
                 (QStringList{"X:Count,Y:Power", "X:Time,Y:Power", "X:Timer,Y:Power"}));
        QCOMPARE(entries(1046), (QStringList{"sec", "min", "hr"}));
        QCOMPARE(fixture.As<QComboBox>(1028)->count(), 0);
        QCOMPARE(fixture.As<QComboBox>(1028)->currentIndex(), -1);
        // Start with nothing listed changes nothing.
        fixture.Click(1020);
        QCOMPARE(fixture.Text(1020), QString("Start"));
        QCOMPARE(fixture.Text(1057), QString("Graphic"));
    }

    void layoutFocusAndTimers() {
        WindowFixture fixture;
        CZelmoraDlg& window = fixture.Window();
        QVERIFY(fixture.IsActive());
        QCOMPARE(QApplication::focusWidget(), fixture.Control(1028));
        QCOMPARE(window.minimumSize(), window.maximumSize());
        QCOMPARE(window.GetTimerPeriod(CZelmoraDlg::kRefreshTimer), 10);
        QCOMPARE(window.GetTimerPeriod(CZelmoraDlg::kGraphTimer), 40);

        // Template proportions: the graph covers frame 1030, which spans
        // 306 of the 448 dialog units; 1028 stands right of Rescan.
        const QRect graph = window.GetGraphRect();
        QCOMPARE(graph, fixture.Control(1030)->geometry());
        QVERIFY(std::abs(graph.width() * 448 - window.width() * 306) < 448 * 4);
        QVERIFY(fixture.Control(1028)->x() > fixture.Control(1037)->geometry().right());
        const int menuBottom = window.findChild<QMenuBar*>()->geometry().bottom();
        QVERIFY(fixture.Control(1037)->y() > menuBottom);

        // The toolbar sits above the frame's top-right corner, its button
        // disabled while Autoscale is checked.
        auto* toolBar = qobject_cast<QToolBar*>(fixture.Control(CZelmoraDlg::kIdToolBar));
        QVERIFY(toolBar != nullptr);
        QVERIFY(toolBar->geometry().bottom() < graph.top());
        QCOMPARE(toolBar->geometry().right(), graph.right());
        QAction* setRegion = window.GetCommand(CZelmoraDlg::kCmdSetPowerRegion);
        QCOMPARE(toolBar->actions(), QList<QAction*>{setRegion});
        QCOMPARE(toolBar->iconSize(), QSize(22, 22));
        QVERIFY(!setRegion->isEnabled());
        QVERIFY(!setRegion->icon().isNull());
        fixture.Click(1029);
        QVERIFY(setRegion->isEnabled());
        fixture.Click(1029);
        QVERIFY(!setRegion->isEnabled());

        // Tab walks the template order, skipping the radio buttons and the
        // hidden boxes.
        QList<int> order;
        QWidget* widget = fixture.Control(1028);
        for (int i = 0; i < 20; ++i) {
            order << widget->objectName().toInt();
            widget = widget->nextInFocusChain();
            while (!widget->isVisible() || !(widget->focusPolicy() & Qt::TabFocus) ||
                   !widget->isEnabled()) {
                widget = widget->nextInFocusChain();
            }
        }
        QCOMPARE(order, (QList<int>{1028, 1000, 1001, 1038, 1007, 1005, 1006, 1002, 1003, 1008,
                                    1042, 1011, 1019, 1004, 1012, 1017, 1018, 1020, 1029, 1037}));
    }

    void enterCommitsAndNeverCloses_escDoesNothing() {
        WindowFixture fixture;
        fixture.Enter(1007, "25");
        QVERIFY(fixture.Window().isVisible());
        QCOMPARE(fixture.Text(1007), QString("25"));
        fixture.Enter(1007, "abc");
        QCOMPARE(fixture.Text(1007), QString("25"));
        QCOMPARE(QApplication::focusWidget(), fixture.Control(1007));
        QTest::keyClick(fixture.Control(1007), Qt::Key_Escape);
        QTest::keyClick(fixture.Control(1028), Qt::Key_Escape);
        QVERIFY(fixture.Window().isVisible());
        QCOMPARE(fixture.Window().result(), 0);
        // Enter in the path box commits nothing and adds no line.
        const QString path = fixture.Text(1019);
        fixture.Control(1019)->setFocus();
        QTest::keyClick(fixture.Control(1019), Qt::Key_Return);
        QCOMPARE(fixture.Text(1019), path);
        QVERIFY(fixture.Window().isVisible());
    }

    void clickOnTheBackgroundCommitsTheFocusedBox() {
        WindowFixture fixture;
        fixture.Type(1011, "0");
        fixture.ClickBackground();
        QCOMPARE(fixture.Text(1011), QString("200"));
        QVERIFY(!fixture.Control(1011)->hasFocus());
        fixture.Type(1011, "150");
        fixture.ClickBackground();
        QCOMPARE(fixture.Text(1011), QString("150"));
        fixture.Type(1011, "-5");
        fixture.ClickBackground();
        QCOMPARE(fixture.Text(1011), QString("150"));
    }

    void closeEndsTheWindowAndStopsItsTimers() {
        WindowFixture fixture;
        fixture.Window().close();
        QVERIFY(!fixture.Window().isVisible());
        QCOMPARE(fixture.Window().result(), int(QDialog::Rejected));
        QCOMPARE(fixture.Window().GetTimerPeriod(CZelmoraDlg::kRefreshTimer), -1);
        QCOMPARE(fixture.Window().GetTimerPeriod(CZelmoraDlg::kGraphTimer), -1);
    }

    void helpMenuAndAbout() {
        WindowFixture fixture;
        CZelmoraDlg& window = fixture.Window();
        auto* menuBar = window.findChild<QMenuBar*>();
        QCOMPARE(menuBar->actions().size(), 1);
        QMenu* help = menuBar->actions()[0]->menu();
        QCOMPARE(help->title(), QString("Help"));
        QCOMPARE(help->actions()[0], window.GetCommand(CZelmoraDlg::kCmdFindMeter));
        QCOMPARE(help->actions()[0]->text(), QString("Find my meter…"));
        QCOMPARE(help->actions()[1], window.GetCommand(CZelmoraDlg::kCmdSaveReport));
        QCOMPARE(help->actions()[1]->text(), QString("Save a diagnostic report…"));
        QCOMPARE(help->actions()[2]->text(), QString("Operation Manunal"));
        QMenu* manual = help->actions()[2]->menu();
        QCOMPARE(manual->actions()[0], window.GetCommand(CZelmoraDlg::kCmdManualChinese));
        QCOMPARE(manual->actions()[0]->text(), QString("简体中文"));
        QCOMPARE(manual->actions()[1], window.GetCommand(CZelmoraDlg::kCmdManualEnglish));
        QCOMPARE(manual->actions()[1]->text(), QString("English"));
        QAction* bench = help->actions()[3];
        QCOMPARE(bench, window.GetCommand(CZelmoraDlg::kCmdBenchView));
        QCOMPARE(bench->text(), QString("Bench view…"));
        QCOMPARE(bench->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_B));
        QCOMPARE(help->actions().size(), 6);
        QAction* about = help->actions().last();
        QCOMPARE(about, window.GetCommand(CZelmoraDlg::kCmdAbout));
        QCOMPARE(about->text(), QString("关于 Zelmora(&A)..."));
        QVERIFY(help->actions()[help->actions().size() - 2]->isSeparator());

        QString title;
        QString version;
        const test::ModalAnswerer answerer([&](QWidget& modal) {
            title = modal.windowTitle();
            for (auto* label : modal.findChildren<QLabel*>()) {
                if (label->text().startsWith("Zelmora")) {
                    version = label->text();
                }
            }
            QTest::mouseClick(modal.findChild<QPushButton*>("1"), Qt::LeftButton);
        });
        about->trigger();
        QVERIFY(answerer.Answered());
        QCOMPARE(title, QString("关于 Zelmora"));
        QCOMPARE(version, QString("Zelmora，1.0 版"));
        QVERIFY(window.isVisible());
    }

    // Help > Save a diagnostic report… proposes a dated name in the home
    // folder and writes the report whole where the operator chose.
    void helpSavesADiagnosticReport() {
        QTemporaryDir home;
        const QByteArray savedHome = qgetenv("HOME");
        qputenv("HOME", home.path().toUtf8());
        WindowFixture fixture({WindowFixture::Meter("210400101", "KV50")});
        CZelmoraDlg& window = fixture.Window();
        AppOptions options;
        options.simulatedMeters = 2;
        options.traceFile = (home.path() + "/trace.jsonl").toStdString();
        QFile trace(home.path() + "/trace.jsonl");
        QVERIFY(trace.open(QIODevice::WriteOnly));
        trace.write("{\"program\":\"zelmora\"}\n{\"t\":1.5,\"op\":\"open\"}\n{\"t\":2");
        trace.close();
        window.SetProgramOptions(options);

        QString title;
        QString proposed;
        const QString path = home.path() + "/picked.txt";
        const test::ModalAnswerer answerer([&](QWidget& modal) {
            auto* dialog = qobject_cast<QFileDialog*>(&modal);
            if (dialog == nullptr) {
                modal.close();
                return;
            }
            title = dialog->windowTitle();
            proposed = dialog->selectedFiles().value(0);
            dialog->selectFile(path);
            static_cast<QDialog*>(dialog)->accept();
        });
        window.GetCommand(CZelmoraDlg::kCmdSaveReport)->trigger();
        QVERIFY(answerer.Answered());
        qputenv("HOME", savedHome);
        QCOMPARE(title, QString("Save a diagnostic report"));
        QVERIFY2(QRegularExpression("^" + QRegularExpression::escape(home.path()) +
                                    "/zelmora-report-\\d{8}-\\d{6}\\.txt$")
                     .match(proposed)
                     .hasMatch(),
                 qPrintable(proposed));

        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QString report = QString::fromUtf8(saved.readAll());
        QVERIFY2(report.startsWith("Zelmora diagnostic report\n"), qPrintable(report));
        QVERIFY(!report.contains(home.path()));
        for (const char* part :
             {"\nprogram: zelmora\n", "\nOperating system\n", "\nUSB library\n",
              "\nUSB devices (as Help > Find my meter lists them)\n", "\nMatch list in use\n",
              "\nsimulated meters: 2\n", "\nWindow settings\n", "\nmeter: 210400101\n",
              "\nmeters listed: 1\n", "\nTrace (the last 5 minutes)\n", "\nfile: ~/trace.jsonl\n",
              "\n{\"program\":\"zelmora\"}\n", "\n{\"t\":1.5,\"op\":\"open\"}\n",
              "# the last line was still being written and is left out\n"}) {
            QVERIFY2(report.contains(QString::fromUtf8(part)), part);
        }
    }

    // The manuals open from beside the program before the current folder,
    // and from the current folder when they are nowhere else; the operator
    // is told where they were looked for when they are nowhere.
    void manualsOpenFromBesideTheProgramOrTheCurrentFolder() {
        QTemporaryDir current;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(current.path()));
        QFile(current.filePath("Operation Manual_Eng.pdf")).open(QIODevice::WriteOnly);
        QFile(current.filePath("Operation Manual_Chs.pdf")).open(QIODevice::WriteOnly);
        const QString beside = QDir(QCoreApplication::applicationDirPath())
                                   .absoluteFilePath("Operation Manual_Chs.pdf");
        QFile(beside).open(QIODevice::WriteOnly);
        {
            WindowFixture fixture;
            UrlCatcher catcher;
            QDesktopServices::setUrlHandler("file", &catcher, "Open");
            fixture.Window().GetCommand(CZelmoraDlg::kCmdManualEnglish)->trigger();
            fixture.Window().GetCommand(CZelmoraDlg::kCmdManualChinese)->trigger();
            QFile::remove(beside);
            QFile::remove(current.filePath("Operation Manual_Chs.pdf"));
            QString message;
            const test::ModalAnswerer answerer([&message](QWidget& modal) {
                message = static_cast<QMessageBox&>(modal).text();
                static_cast<QDialog&>(modal).accept();
            });
            fixture.Window().GetCommand(CZelmoraDlg::kCmdManualChinese)->trigger();
            QDesktopServices::unsetUrlHandler("file");
            QVERIFY(answerer.Answered());
            QCOMPARE(catcher.urls.size(), 2);
            QCOMPARE(catcher.urls[0].toLocalFile(),
                     QDir(QDir::currentPath()).absoluteFilePath("Operation Manual_Eng.pdf"));
            QCOMPARE(catcher.urls[1].toLocalFile(), beside);
            QVERIFY2(message.startsWith("The manual \"Operation Manual_Chs.pdf\" was not found."),
                     qPrintable(message));
            QVERIFY2(message.contains("\n" + QCoreApplication::applicationDirPath() +
                                      "\n" ZELMORA_DOC_DIR "\n"),
                     qPrintable(message));
            QVERIFY2(message.endsWith("\n" + QDir::currentPath()), qPrintable(message));
        }
        QDir::setCurrent(previous);
    }
};

} // namespace zelmora

QTEST_MAIN(zelmora::ZelmoraDlgStartupTest)
#include "ZelmoraDlgStartupTest.moc"

#include "app/ZelmoraDlg.h"

#include "app/AboutDlg.h"
#include "app/DialogTemplate.h"
#include "app/GraphView.h"
#include "app/QtCanvas.h"
#include "app/SetPowerRegionDlg.h"
#include "log/LogPath.h"
#include "util/NumberEntry.h"
#include "util/TextFormat.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStandardPaths>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>
#include <array>
#include <cmath>
#include <limits>

namespace zelmora {

namespace {

constexpr int kClientWidthDu = 448;
constexpr int kClientHeightDu = 218;
constexpr int kStartRefreshMs = 10;
constexpr int kStreamingRefreshMs = 80;
constexpr int kGraphRedrawMs = 40;
constexpr int kStreamingPollMs = 100;
constexpr int kMinIntervalMs = 100;
constexpr int kMaxIntervalMs = 1800000000;
constexpr int kMaxAveraging = 20000;
constexpr int kToolButtonSpan = 30;

// Milliseconds per entry of the interval unit list: "sec", "min", "hr".
constexpr std::array<int, 3> kUnitMs = {1000, 1000 * 60, 1000 * 3600};
// Decimals of the interval shown in each unit.
constexpr std::array<int, 3> kUnitDecimals = {1, 2, 3};

const char* const kStart = "Start";
const char* const kStop = "Stop";
const char* const kDisconnected = "Disconnected";
const char* const kLogOn = "On";
const char* const kLogOff = "Off";
const char* const kLogTitle = "Log Data To File";

// The eight controls shown only in Time Interval mode.
constexpr std::array<int, 8> kTimeIntervalGroup = {1045, 1046, 1015, 1044, 1050, 1043, 1048, 1049};

enum class Kind { Button, List, Label, Edit, MultiLineEdit, Check, Radio, Group };

enum Style : unsigned {
    kNone = 0,
    kHidden = 1u << 0,
    kReadOnly = 1u << 1,
    kCentred = 1u << 2,
    kRight = 1u << 3,
    kDisabled = 1u << 4,
    kTextLeft = 1u << 5,
    kGroupStart = 1u << 6,
};

struct ControlTemplate {
    int id; // 0 for the one label without an id
    Kind kind;
    const char* text;
    int x;
    int y;
    int width;
    int height;
    unsigned style;
};

// The window's controls in template order, which is their creation and tab
// order; positions in dialog units.
constexpr ControlTemplate kControls[] = {
    {1028, Kind::List, "", 47, 7, 72, 72, kNone},
    {1000, Kind::Edit, "", 7, 63, 89, 18, kReadOnly | kRight},
    {1001, Kind::Edit, "", 7, 97, 40, 12, kReadOnly | kCentred},
    {1038, Kind::List, "", 60, 97, 40, 50, kNone},
    {1007, Kind::Edit, "", 7, 122, 40, 12, kCentred},
    {1005, Kind::Edit, "", 7, 147, 40, 12, kReadOnly | kCentred},
    {1006, Kind::Edit, "", 60, 146, 40, 12, kReadOnly | kCentred},
    {1002, Kind::Edit, "", 7, 172, 40, 12, kReadOnly | kCentred},
    {1003, Kind::Edit, "", 60, 172, 40, 12, kReadOnly | kCentred},
    {1008, Kind::Edit, "", 7, 197, 40, 12, kReadOnly | kCentred},
    {1042, Kind::Edit, "", 60, 197, 44, 12, kReadOnly | kCentred},
    {1009, Kind::Radio, "Fixed", 124, 166, 32, 10, kGroupStart},
    {1010, Kind::Radio, "Continuous", 124, 188, 48, 10, kNone},
    {1011, Kind::Edit, "", 187, 167, 40, 12, kCentred},
    {1013, Kind::Radio, "Time Interval", 240, 159, 47, 10, kGroupStart},
    {1014, Kind::Radio, "Streaming", 240, 173, 47, 10, kNone},
    {1015, Kind::Edit, "", 236, 199, 54, 12, kReadOnly | kHidden},
    {1019, Kind::MultiLineEdit, "", 347, 185, 85, 26, kNone},
    {1021, Kind::Label, "Power", 7, 45, 89, 18, kNone},
    {1022, Kind::Label, "Wavelength(nm)", 7, 87, 54, 8, kNone},
    {1026, Kind::Label, "Min", 7, 162, 24, 8, kNone},
    {1027, Kind::Label, "Max", 62, 162, 26, 8, kNone},
    {1024, Kind::Label, "Mean", 7, 137, 30, 8, kNone},
    {1025, Kind::Label, "Std.Dev", 62, 137, 25, 8, kNone},
    {1004, Kind::Check, "% of Mean", 90, 137, 44, 8, kNone},
    {1023, Kind::Label, "Live Data Averaging", 7, 112, 63, 8, kNone},
    {1031, Kind::Label, "Counts", 7, 187, 23, 8, kNone},
    {1032, Kind::Group, "Sample Collection", 116, 146, 59, 65, kNone},
    {1033, Kind::Label, "Sample Size", 187, 146, 38, 8, kNone},
    {1012, Kind::Button, "Reset", 187, 192, 37, 14, kNone},
    {1035, Kind::Label, "Log Data To File", 347, 147, 51, 8, kNone},
    {1017, Kind::Button, "On", 409, 145, 26, 12, kNone},
    {1036, Kind::Label, "Log Data File Path", 347, 160, 58, 8, kNone},
    {1018, Kind::Button, "Open", 409, 158, 26, 12, kNone},
    {1034, Kind::Group, "Collection Mode", 236, 146, 54, 42, kNone},
    {1020, Kind::Button, "Start", 7, 26, 28, 14, kNone},
    {1029, Kind::Check, "Autoscale", 135, 8, 55, 8, kNone},
    {1030, Kind::Group, "Graphic", 135, 18, 306, 116, kHidden},
    {1057, Kind::Label, "Graphic", 135, 18, 41, 8, kNone},
    {1037, Kind::Button, "Rescan", 7, 7, 34, 14, kNone},
    {1041, Kind::List, "", 347, 171, 66, 40, kNone},
    {0, Kind::Label, "Duration", 62, 187, 26, 8, kNone},
    {1043, Kind::Edit, "", 293, 167, 40, 12, kCentred | kHidden},
    {1044, Kind::Label, "Point Count", 293, 147, 35, 8, kHidden},
    {1045, Kind::Edit, "", 293, 195, 21, 12, kCentred | kHidden},
    {1046, Kind::List, "", 314, 195, 26, 68, kHidden},
    {1049, Kind::Label, "Total Time", 236, 189, 34, 8, kHidden},
    {1048, Kind::Label, "Time Interval", 293, 185, 40, 8, kHidden},
    {1050, Kind::Label, "(0 is no limited)", 293, 156, 45, 8, kHidden},
    {1051, Kind::Check, "", 398, 146, 8, 10, kDisabled | kTextLeft},
    {1056, Kind::Edit, "", 433, 7, 8, 12, kReadOnly | kHidden},
};

QString ToQString(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

CZelmoraDlg::CZelmoraDlg(UsbDriver& driver, QWidget* parent, CDeviceLink::TestTuning tuning)
    : QDialog(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      m_link(driver, tuning) {
    m_prompts.askOverwrite = [this](const std::string& path) { return AskOverwrite(path); };
    m_prompts.showMessage = [this](const std::string& message) { ShowMessage(message); };
    m_prompts.chooseLogPath = [this] { return ChooseLogPath(); };
    const QString face = QStringLiteral("Microsoft Sans Serif");
    setFont(CDialogTemplate(face, 10).GetFont());
    CreateMenu();
    const CDialogTemplate dialogTemplate(face, 10, QPoint(0, m_menuBar->height()));
    setWindowTitle(QStringLiteral("OrvantaPower Meter V2.4.9.30"));
    const QSize client = dialogTemplate.ToPixelSize(kClientWidthDu, kClientHeightDu);
    setFixedSize(client.width(), client.height() + m_menuBar->height());
    CreateControls(dialogTemplate);
    OnInitDialog();
}

CZelmoraDlg::~CZelmoraDlg() {
    m_refreshTimer.stop();
    m_graphTimer.stop();
    // The controls go first, while the meter link and the graph that their
    // handlers use still exist.
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        child->removeEventFilter(this);
        delete child;
    }
}

void CZelmoraDlg::SetPrompts(Prompts prompts) {
    if (prompts.askOverwrite) {
        m_prompts.askOverwrite = std::move(prompts.askOverwrite);
    }
    if (prompts.showMessage) {
        m_prompts.showMessage = std::move(prompts.showMessage);
    }
    if (prompts.chooseLogPath) {
        m_prompts.chooseLogPath = std::move(prompts.chooseLogPath);
    }
}

template <class Widget>
Widget* CZelmoraDlg::Add(int id, Widget* widget) {
    if (id != 0) {
        widget->setObjectName(QString::number(id));
        m_controls[id] = widget;
    }
    return widget;
}

void CZelmoraDlg::CreateMenu() {
    m_menuBar = new QMenuBar(this);
    m_menuBar->setNativeMenuBar(false);
    QMenu* help = m_menuBar->addMenu(QStringLiteral("Help"));
    QMenu* manual = help->addMenu(QStringLiteral("Operation Manunal"));
    QAction* chinese = manual->addAction(QStringLiteral("简体中文"));
    QAction* english = manual->addAction(QStringLiteral("English"));
    m_commands[kCmdManualChinese] = chinese;
    m_commands[kCmdManualEnglish] = english;
    connect(chinese, &QAction::triggered, this, &CZelmoraDlg::OnManualChinese);
    connect(english, &QAction::triggered, this, &CZelmoraDlg::OnManualEnglish);
    // There is no system menu to extend here: the About entry closes the
    // Help menu instead.
    const QString aboutText = QStringLiteral("关于 Zelmora(&A)...");
    if (!aboutText.isEmpty()) {
        help->addSeparator();
        QAction* about = help->addAction(aboutText);
        m_commands[kCmdAbout] = about;
        connect(about, &QAction::triggered, this, &CZelmoraDlg::OnAbout);
    }
    // The menu bar sits on top of the client area, which starts below it.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetNoConstraint);
    layout->setMenuBar(m_menuBar);
    layout->addStretch();
    m_menuBar->setFixedHeight(m_menuBar->sizeHint().height());
}

void CZelmoraDlg::CreateControls(const CDialogTemplate& dialogTemplate) {
    QWidget* previousTabStop = nullptr;
    QList<QWidget*> groupBoxes;
    for (const ControlTemplate& control : kControls) {
        const QString text = QString::fromUtf8(control.text);
        QWidget* widget = nullptr;
        switch (control.kind) {
        case Kind::Button:
            widget = Add(control.id, new QPushButton(text, this));
            break;
        case Kind::List: {
            auto* list = Add(control.id, new QComboBox(this));
            // The template's height includes the dropped-down list; the
            // closed box is as high as the style makes it.
            const QRect rect = dialogTemplate.ToPixels(control.x, control.y, control.width, 0);
            list->setGeometry(rect.x(), rect.y(), rect.width(), list->sizeHint().height());
            widget = list;
            break;
        }
        case Kind::Label: {
            auto* label = Add(control.id, new QLabel(text, this));
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setTextFormat(Qt::PlainText);
            widget = label;
            break;
        }
        case Kind::Edit: {
            auto* edit = Add(control.id, new QLineEdit(this));
            edit->setReadOnly((control.style & kReadOnly) != 0);
            if ((control.style & kCentred) != 0) {
                edit->setAlignment(Qt::AlignCenter);
            } else if ((control.style & kRight) != 0) {
                edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            }
            widget = edit;
            break;
        }
        case Kind::MultiLineEdit: {
            auto* edit = Add(control.id, new QPlainTextEdit(this));
            edit->setTabChangesFocus(true);
            edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
            edit->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
            edit->document()->setDocumentMargin(1);
            widget = edit;
            break;
        }
        case Kind::Check: {
            auto* check = Add(control.id, new QCheckBox(text, this));
            if ((control.style & kTextLeft) != 0) {
                check->setLayoutDirection(Qt::RightToLeft);
            }
            widget = check;
            break;
        }
        case Kind::Radio: {
            auto* radio = Add(control.id, new QRadioButton(text, this));
            // Radio buttons are no tab stops in the template.
            radio->setFocusPolicy(Qt::ClickFocus);
            widget = radio;
            break;
        }
        case Kind::Group: {
            auto* group = Add(control.id, new QGroupBox(text, this));
            group->setFocusPolicy(Qt::NoFocus);
            groupBoxes << group;
            widget = group;
            break;
        }
        }
        if (control.id == 0) {
            widget->setObjectName(QStringLiteral("durationLabel"));
        }
        if (control.kind != Kind::List) {
            dialogTemplate.Place(*widget, control.x, control.y, control.width, control.height);
        }
        widget->setEnabled((control.style & kDisabled) == 0);
        widget->setVisible((control.style & kHidden) == 0);
        if (widget->focusPolicy() & Qt::TabFocus) {
            if (previousTabStop != nullptr) {
                setTabOrder(previousTabStop, widget);
            }
            previousTabStop = widget;
        }
    }
    // Group boxes are frames drawn behind the controls they hold.
    for (QWidget* group : groupBoxes) {
        group->lower();
    }

    auto radio = [this](int id) { return static_cast<QRadioButton*>(GetControl(id)); };
    // Each pair is exclusive among itself, not across the window.
    for (const auto& [first, second] :
         {std::pair{kIdFixed, kIdContinuous}, std::pair{kIdTimeInterval, kIdStreaming}}) {
        auto* group = new QButtonGroup(this);
        group->addButton(radio(first));
        group->addButton(radio(second));
    }

    // The graph is shown over the hidden frame 1030, under its title.
    m_graphView = new CGraphView(this);
    m_graphView->setObjectName(QStringLiteral("graphView"));
    m_graphView->setGeometry(GetControl(kIdGraphFrame)->geometry());
    m_graphView->lower();
    auto* title = static_cast<QLabel*>(GetControl(kIdGraphTitle));
    title->setAutoFillBackground(true);
    title->raise();

    // Under the graph, shown once samples were lost: the window fell so far
    // behind the meter that the link's queue overflowed.
    m_lostSamplesLabel = new QLabel(this);
    m_lostSamplesLabel->setObjectName(QStringLiteral("lostSamples"));
    m_lostSamplesLabel->setTextFormat(Qt::PlainText);
    m_lostSamplesLabel->setStyleSheet(QStringLiteral("QLabel { color: #c00000; }"));
    dialogTemplate.Place(*m_lostSamplesLabel, 135, 135, 306, 9);
    m_lostSamplesLabel->hide();

    for (const int id : {kIdAveraging, kIdSampleSize, kIdPointCount, kIdIntervalValue}) {
        GetControl(id)->installEventFilter(this);
    }
    GetControl(kIdLogPath)->installEventFilter(this);

    auto button = [this](int id) { return static_cast<QPushButton*>(GetControl(id)); };
    connect(button(kIdReset), &QPushButton::clicked, this, &CZelmoraDlg::OnReset);
    connect(button(kIdRescan), &QPushButton::clicked, this, &CZelmoraDlg::OnRescan);
    connect(button(kIdStartStop), &QPushButton::clicked, this, &CZelmoraDlg::OnStartStop);
    connect(radio(kIdFixed), &QRadioButton::clicked, this, &CZelmoraDlg::OnFixed);
    connect(radio(kIdContinuous), &QRadioButton::clicked, this, &CZelmoraDlg::OnContinuous);
    connect(radio(kIdTimeInterval), &QRadioButton::clicked, this, &CZelmoraDlg::OnTimeInterval);
    connect(radio(kIdStreaming), &QRadioButton::clicked, this, &CZelmoraDlg::OnStreaming);
    connect(static_cast<QCheckBox*>(GetControl(kIdAutoscale)), &QCheckBox::clicked, this,
            &CZelmoraDlg::OnAutoscale);
    connect(static_cast<QComboBox*>(GetControl(kIdIntervalUnit)), &QComboBox::activated, this,
            &CZelmoraDlg::OnIntervalUnitChanged);
    connect(static_cast<QPlainTextEdit*>(GetControl(kIdLogPath)), &QPlainTextEdit::textChanged,
            this, &CZelmoraDlg::OnLogPathChanged);
    connect(button(kIdLogOnOff), &QPushButton::clicked, this, &CZelmoraDlg::OnLogOnOff);
    connect(button(kIdLogOpen), &QPushButton::clicked, this, &CZelmoraDlg::OnOpenLogPath);

    connect(&m_refreshTimer, &QTimer::timeout, this, &CZelmoraDlg::RefreshReadings);
    connect(&m_graphTimer, &QTimer::timeout, this, [this] {
        if (m_bGraphRedraw) {
            DrawGraph();
        }
    });
}

// --- Start-up ---------------------------------------------------------------

void CZelmoraDlg::OnInitDialog() {
    m_hIcon = QIcon(QStringLiteral(":/zelmora/zelmora.xpm"));
    setWindowIcon(m_hIcon);
    InitControls();
    InitFonts();
    InitGraphArea();
    InitToolBar();
    m_refreshTimer.start(kStartRefreshMs);
    m_graphTimer.start(kGraphRedrawMs);
    GetControl(kIdMeterList)->setFocus(Qt::OtherFocusReason);
}

void CZelmoraDlg::InitControls() {
    m_bTimeIntervalMode = false;
    for (const int id : {kIdAutoscale, kIdContinuous, kIdStreaming}) {
        static_cast<QAbstractButton*>(GetControl(id))->setChecked(true);
    }
    SetText(kIdSampleSize, Format("%d", m_graph.GetSampleWindow()));

    auto fill = [this](int id, std::initializer_list<const char*> entries) {
        auto* list = static_cast<QComboBox*>(GetControl(id));
        for (const char* entry : entries) {
            list->addItem(QString::fromUtf8(entry));
        }
        list->setCurrentIndex(0);
    };
    fill(kIdWavelengthUnit, {"nm", "μm"});
    SetText(kIdAveraging, Format("%d", m_nAveraging));
    fill(kIdLogLayout, {"X:Count,Y:Power", "X:Time,Y:Power", "X:Timer,Y:Power"});
    fill(kIdIntervalUnit, {"sec", "min", "hr"});

    SetText(kIdIntervalValue, Format("%.2lf", m_nIntervalMs / 1000.0));
    SetText(kIdPointCount, Format("%d", m_nPointCount));
    UpdateTotalTime();

    // The default log file lies on the desktop, or in the home folder where
    // there is no desktop folder.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (folder.isEmpty() || !QDir(folder).exists()) {
        folder = QDir::homePath();
    }
    SetText(kIdLogPath, QDir(folder).filePath(QStringLiteral("Power Data.csv")).toStdString());
    SplitLogPath();

    OnRescan();
    m_link.SetPollPeriod(kStreamingPollMs);
}

void CZelmoraDlg::InitFonts() {
    m_fontPower = QFont(QStringLiteral("宋体"), 21);
    m_fontPath = QFont(QStringLiteral("宋体"), 10);
    GetControl(kIdPowerLabel)->setFont(m_fontPower);
    GetControl(kIdPower)->setFont(m_fontPower);
    GetControl(kIdLogPath)->setFont(m_fontPath);
    SetText(kIdPower, "0.0W");
}

void CZelmoraDlg::InitGraphArea() {
    const QRect frame = GetControl(kIdGraphFrame)->geometry();
    m_rcGraph = {frame.width(), frame.height(), frame.top(), frame.left()};
    m_graph.SetDisplaySize(m_rcGraph.width, m_rcGraph.height);
    m_graph.SetLimits(0, 200, 0.0, 0.001);
    m_graphView->setGeometry(m_rcGraph.left, m_rcGraph.top, m_rcGraph.width, m_rcGraph.height);
}

void CZelmoraDlg::InitToolBar() {
    m_toolBar = new QToolBar(this);
    m_toolBar->setObjectName(QString::number(kIdToolBar));
    m_toolBar->setMovable(false);
    m_toolBar->setFloatable(false);
    m_toolBar->setIconSize(QSize(22, 22));
    m_toolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    m_toolBar->setContextMenuPolicy(Qt::PreventContextMenu);
    m_toolBar->setStyleSheet(QStringLiteral("QToolBar { border: 0px; }"));
    QAction* setRegion =
        m_toolBar->addAction(QIcon(QStringLiteral(":/zelmora/set_region.xpm")), QString());
    setRegion->setToolTip(QString()); // the toolbar has no tooltips
    m_commands[kCmdSetPowerRegion] = setRegion;
    m_controls[kIdToolBar] = m_toolBar;
    connect(setRegion, &QAction::triggered, this, &CZelmoraDlg::OnSetPowerRegion);

    // Above the top-right corner of the graph frame.
    const QRect frame = GetControl(kIdGraphFrame)->geometry();
    const int width = kToolButtonSpan * m_nToolButtons;
    const int top = std::max(m_menuBar->height(), frame.top() - 35);
    m_toolBar->setGeometry(frame.right() + 1 - width, top, width, kToolButtonSpan);
    m_toolBar->show();
    setRegion->setEnabled(false); // Autoscale starts checked
}

// --- Window ----------------------------------------------------------------

QWidget* CZelmoraDlg::GetControl(int id) const {
    const auto found = m_controls.find(id);
    return found == m_controls.end() ? nullptr : found->second;
}

QAction* CZelmoraDlg::GetCommand(int id) const {
    const auto found = m_commands.find(id);
    return found == m_commands.end() ? nullptr : found->second;
}

int CZelmoraDlg::GetTimerPeriod(int timerId) const {
    const QTimer* timer = timerId == kRefreshTimer ? &m_refreshTimer
                          : timerId == kGraphTimer ? &m_graphTimer
                                                   : nullptr;
    return timer != nullptr && timer->isActive() ? timer->interval() : -1;
}

QRect CZelmoraDlg::GetGraphRect() const {
    return {m_rcGraph.left, m_rcGraph.top, m_rcGraph.width, m_rcGraph.height};
}

void CZelmoraDlg::showEvent(QShowEvent* event) {
    if (!m_bShown) {
        m_bShown = true;
        // Centred on the screen, as a dialog opens.
        if (const QScreen* screen = this->screen();
            screen != nullptr && parentWidget() == nullptr) {
            const QRect available = screen->availableGeometry();
            move(available.center() - QPoint(width() / 2, height() / 2));
        }
    }
    QDialog::showEvent(event);
}

void CZelmoraDlg::paintEvent(QPaintEvent* event) {
    // The graph is redrawn from the first paint of the restored window on.
    // A minimised window shows its icon; the platform draws it.
    if (!isMinimized()) {
        m_bGraphRedraw = true;
    }
    QDialog::paintEvent(event);
}

void CZelmoraDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
            OnOK();
            return;
        }
        break;
    case Qt::Key_Escape:
        OnCancel();
        return;
    default:
        break;
    }
    QDialog::keyPressEvent(event);
}

void CZelmoraDlg::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        OnLButtonDown();
    }
    QDialog::mousePressEvent(event);
}

void CZelmoraDlg::closeEvent(QCloseEvent* event) {
    OnClose();
    event->accept();
}

bool CZelmoraDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut) {
        // A popup (the box's own context menu, say) takes the focus only
        // for a moment; the operator is still typing.
        if (static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason) {
            if (watched == GetControl(kIdAveraging)) {
                CommitAveraging();
            } else if (watched == GetControl(kIdSampleSize)) {
                CommitSampleSize();
            } else if (watched == GetControl(kIdPointCount)) {
                CommitPointCount();
            } else if (watched == GetControl(kIdIntervalValue)) {
                CommitInterval();
            }
        }
    } else if (event->type() == QEvent::KeyPress && watched == GetControl(kIdLogPath)) {
        // The path box takes no line breaks: Enter is the window's.
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            OnOK();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CZelmoraDlg::OnOK() {
    QWidget* focused = QApplication::focusWidget();
    if (focused == nullptr) {
        return;
    }
    if (focused == GetControl(kIdSampleSize)) {
        CommitSampleSize();
    } else if (focused == GetControl(kIdIntervalValue)) {
        CommitInterval();
    } else if (focused == GetControl(kIdPointCount)) {
        CommitPointCount();
    } else if (focused == GetControl(kIdAveraging)) {
        CommitAveraging();
    }
}

void CZelmoraDlg::OnCancel() {
    // Esc does nothing: only the close command ends the window.
}

void CZelmoraDlg::OnClose() {
    m_refreshTimer.stop();
    m_graphTimer.stop();
    if (m_bLogging) {
        // What the meter measured up to now still goes into the file, which
        // is then closed with every record in it. No new name is proposed.
        RefreshReadings();
        m_logFile.Close();
        m_bLogging = false;
        SetText(kIdLogOnOff, kLogOn);
        static_cast<QCheckBox*>(GetControl(kIdLoggingIndicator))->setChecked(false);
    }
    QDialog::reject();
}

void CZelmoraDlg::OnLButtonDown() {
    // Moving the focus away commits the number box that had it.
    QWidget* sink = GetControl(kIdFocusSink);
    sink->setFocus(Qt::MouseFocusReason);
    if (QWidget* focused = QApplication::focusWidget();
        focused != nullptr && focused != sink && focused->window() == this) {
        focused->clearFocus();
    }
}

void CZelmoraDlg::OnAbout() {
    CAboutDlg about(this);
    about.DoModal();
}

void CZelmoraDlg::OnManualChinese() {
    QDesktopServices::openUrl(QUrl::fromLocalFile(
        QDir::current().absoluteFilePath(QStringLiteral("Operation Manual_Chs.pdf"))));
}

void CZelmoraDlg::OnManualEnglish() {
    QDesktopServices::openUrl(QUrl::fromLocalFile(
        QDir::current().absoluteFilePath(QStringLiteral("Operation Manual_Eng.pdf"))));
}

// --- Timers ----------------------------------------------------------------

void CZelmoraDlg::RefreshReadings() {
    // Every sample since the last refresh, oldest first, each a consistent
    // copy: a record's X field and power, and the graph's point, come from
    // the same sample. A window that was held up catches up here.
    std::uint64_t lostSamples = 0;
    const std::vector<MeterSample> samples = m_link.TakeSamples(&lostSamples);
    if (lostSamples != m_nLostSamples) {
        ShowLostSamples(lostSamples);
    }
    for (const MeterSample& sample : samples) {
        // A sample without a power text (a range without conversion right
        // after a reset) is neither graphed nor logged.
        if (sample.powerText.empty()) {
            continue;
        }
        m_graph.AddSample(sample.power);
        m_bGraphRedraw = true;
        if (m_bLogging) {
            AppendLogRecord(sample);
        }
    }
    if (!samples.empty()) {
        ShowSample(samples.back());
    }
    CheckMeterLost();
}

void CZelmoraDlg::ShowSample(const MeterSample& sample) {
    SetText(kIdPower, sample.powerText);
    if (sample.powerText.empty()) {
        return;
    }

    SetText(kIdMean, sample.meanText);
    SetText(kIdMin, sample.minText);
    SetText(kIdMax, sample.maxText);
    SetText(kIdStdDev, IsChecked(kIdPercentOfMean) ? sample.stdDevPercentText : sample.stdDevText);

    switch (static_cast<QComboBox*>(GetControl(kIdWavelengthUnit))->currentIndex()) {
    case 0:
        SetText(kIdWavelength, Format("%d", sample.wavelength));
        break;
    case 1:
        SetText(kIdWavelength, Format("%.3lf", sample.wavelength / 1000.0));
        break;
    default:
        break;
    }
    SetText(kIdDuration, sample.durationText);
    SetText(kIdCount, sample.countText);
}

void CZelmoraDlg::ShowLostSamples(std::uint64_t lostSamples) {
    const auto newlyLost = static_cast<unsigned long long>(lostSamples - m_nLostSamples);
    m_nLostSamples = lostSamples;
    m_lostSamplesLabel->setText(
        ToQString(Format("%llu samples lost: the window fell behind the meter",
                         static_cast<unsigned long long>(lostSamples))));
    m_lostSamplesLabel->show();
    if (m_bLogging && !m_bLossReported) {
        m_bLossReported = true;
        m_prompts.showMessage(Format("The window fell behind the meter and %llu samples were "
                                     "lost before they could be logged. The log file has a gap "
                                     "there; its count, time or timer column shows where.\n\n%s",
                                     newlyLost, m_logFile.GetPath().c_str()));
    }
}

void CZelmoraDlg::CheckMeterLost() {
    // A failed read closes the meter; the window must not go on looking as
    // if it measured.
    if (m_bMeterStarted && !m_link.IsRunning()) {
        m_bMeterStarted = false;
        SetText(kIdStartStop, kStart);
        SetText(kIdPower, kDisconnected);
    }
}

void CZelmoraDlg::AppendLogRecord(const MeterSample& sample) {
    const int layout = static_cast<QComboBox*>(GetControl(kIdLogLayout))->currentIndex();
    if (m_logFile.Append(sample, layout)) {
        return;
    }
    // The log has closed itself with every complete record in it.
    m_bLogging = false;
    ShowLoggingOff();
    m_prompts.showMessage(Format("Logging has been switched off: the log file could not be "
                                 "written (%s).\n\n%s\n\nEvery record written before the "
                                 "failure is kept in it.",
                                 m_logFile.GetError().c_str(), m_logFile.GetPath().c_str()));
}

void CZelmoraDlg::DrawGraph() {
    if (m_rcGraph.width <= 0 || m_rcGraph.height <= 0) {
        return;
    }
    // Drawn off-screen in full, then shown in one piece.
    QImage image(m_rcGraph.width, m_rcGraph.height, QImage::Format_RGB32);
    image.fill(Qt::black);
    {
        CQtCanvas canvas(image);
        m_graph.Draw(canvas);
    }
    m_graphView->SetImage(std::move(image));
}

void CZelmoraDlg::RestartRefreshTimer(int periodMs) {
    m_refreshTimer.start(periodMs);
}

// --- Collection settings ---------------------------------------------------

void CZelmoraDlg::OnRescan() {
    auto* list = static_cast<QComboBox*>(GetControl(kIdMeterList));
    list->clear();
    m_link.Rescan();
    // Rescan closes a running meter on purpose; the button keeps its text.
    m_bMeterStarted = false;
    std::array<std::string, CDeviceLink::kMaxMeters> ids;
    const int count = std::clamp(m_link.GetMeterCount(), 0, CDeviceLink::kMaxMeters);
    m_link.GetMeterList(ids.data());
    for (int i = 0; i < count; ++i) {
        list->addItem(ToQString(ids[static_cast<std::size_t>(i)]));
    }
    list->setCurrentIndex(list->count() > 0 ? 0 : -1);
}

void CZelmoraDlg::OnStartStop() {
    const auto* list = static_cast<QComboBox*>(GetControl(kIdMeterList));
    const int selected = list->currentIndex();
    const std::string text = GetText(kIdStartStop);
    if (text == kStart) {
        if (selected < 0) {
            return;
        }
        m_link.Start(list->itemText(selected).toStdString());
        m_bMeterStarted = m_link.IsRunning();
        m_strFamily = m_link.GetProbeFamily();
        if (m_strFamily == "KV" || m_strFamily == "RM") {
            SetText(kIdGraphTitle, "Graphic(W)");
        } else if (m_strFamily == "ZN") {
            SetText(kIdGraphTitle, "Graphic(mW)");
        }
        SetText(kIdStartStop, kStop);
    } else if (text == kStop) {
        m_link.Stop();
        m_bMeterStarted = false;
        SetText(kIdStartStop, kStart);
    }
}

void CZelmoraDlg::OnFixed() {
    m_graph.SetCollectionMode(0);
    m_graph.UpdateScales();
    m_link.SetCollectionMode(CDeviceLink::kFixedMode);
    m_link.SetSampleSize(m_bTimeIntervalMode ? m_nPointCount : m_nSampleSize);
    m_bFixedMode = true;
}

void CZelmoraDlg::OnContinuous() {
    m_graph.SetCollectionMode(1);
    CommitSampleSize();
    m_link.SetCollectionMode(CDeviceLink::kContinuousMode);
    m_bFixedMode = false;
    m_link.SetSampleSize(0);
}

void CZelmoraDlg::ShowTimeIntervalGroup(bool show) {
    for (const int id : kTimeIntervalGroup) {
        GetControl(id)->setVisible(show);
    }
}

void CZelmoraDlg::OnTimeInterval() {
    ShowTimeIntervalGroup(true);
    m_bTimeIntervalMode = true;
    m_link.SetSampleSize(m_bFixedMode ? m_nPointCount : 0);
    RestartRefreshTimer(static_cast<int>(m_nIntervalMs * 0.8));
    m_link.SetPollPeriod(m_nIntervalMs);
}

void CZelmoraDlg::OnStreaming() {
    ShowTimeIntervalGroup(false);
    m_bTimeIntervalMode = false;
    m_link.SetSampleSize(m_bFixedMode ? m_nSampleSize : 0);
    RestartRefreshTimer(kStreamingRefreshMs);
    m_link.SetPollPeriod(kStreamingPollMs);
}

std::string CZelmoraDlg::FormatIntervalInUnit() const {
    switch (static_cast<QComboBox*>(GetControl(kIdIntervalUnit))->currentIndex()) {
    case 1:
        return Format("%.2lf", m_nIntervalMs / 1000.0 / 60);
    case 2:
        return Format("%.3lf", m_nIntervalMs / 1000.0 / 3600);
    default:
        return Format("%.1lf", m_nIntervalMs / 1000.0);
    }
}

void CZelmoraDlg::OnIntervalUnitChanged() {
    SetText(kIdIntervalValue, FormatIntervalInUnit());
}

void CZelmoraDlg::CommitAveraging() {
    if (const std::optional<int> value = AcceptInt(GetText(kIdAveraging), 1, kMaxAveraging)) {
        m_nAveraging = *value;
        m_link.SetAverageCount(m_nAveraging);
    }
    // Shown as in use: "1e9" commits 1.
    SetText(kIdAveraging, Format("%d", m_nAveraging));
}

void CZelmoraDlg::CommitSampleSize() {
    // No more than the graph holds: a larger window would be refused by the
    // graph while the box showed it.
    if (const std::optional<int> value =
            AcceptInt(GetText(kIdSampleSize), 1, CImageDisplay::kCapacity - 1)) {
        m_nSampleSize = *value;
        m_graph.SetSampleWindow(m_nSampleSize);
        if (IsChecked(kIdFixed)) {
            m_link.SetSampleSize(m_nSampleSize);
        }
    }
    SetText(kIdSampleSize, Format("%d", m_nSampleSize));
}

void CZelmoraDlg::CommitPointCount() {
    if (const std::optional<int> value =
            AcceptInt(GetText(kIdPointCount), 0, std::numeric_limits<int>::max())) {
        m_nPointCount = *value;
        UpdateTotalTime();
        m_link.SetSampleSize(m_nPointCount);
    }
    SetText(kIdPointCount, Format("%d", m_nPointCount));
}

void CZelmoraDlg::CommitInterval() {
    const int unit =
        std::clamp(static_cast<QComboBox*>(GetControl(kIdIntervalUnit))->currentIndex(), 0, 2);
    const int unitMs = kUnitMs[static_cast<std::size_t>(unit)];
    const std::string typed = GetText(kIdIntervalValue);
    if (!ScanDouble(typed)) {
        SetText(kIdIntervalValue, FormatIntervalInUnit());
        return;
    }
    if (const std::optional<int> ms =
            AcceptIntervalMs(typed, unitMs, kMinIntervalMs, kMaxIntervalMs)) {
        m_nIntervalMs = *ms;
        // The operator's text stays while it says what runs; "2,5" runs as
        // 2 s and "0.1234" as 123 ms, and the box then says so.
        if (!ShowsIntervalExactly(typed, m_nIntervalMs, unitMs)) {
            SetText(kIdIntervalValue,
                    FormatIntervalForEntry(m_nIntervalMs, unitMs, kUnitDecimals[unit]));
        }
    } else {
        SetText(kIdIntervalValue, FormatIntervalInUnit());
    }
    RestartRefreshTimer(static_cast<int>(m_nIntervalMs * 0.8));
    UpdateTotalTime();
    m_link.SetPollPeriod(m_nIntervalMs);
}

void CZelmoraDlg::UpdateTotalTime() {
    const std::uint64_t total =
        static_cast<std::uint64_t>(m_nPointCount) * static_cast<std::uint64_t>(m_nIntervalMs);
    SetText(kIdTotalTime, FormatElapsed(total));
}

void CZelmoraDlg::OnReset() {
    m_graph.ClearData();
    if (const std::optional<int> size = ScanInt(GetText(kIdSampleSize))) {
        m_graph.SetSampleWindow(*size);
        m_link.ResetStatistics();
    }
}

void CZelmoraDlg::OnAutoscale() {
    const bool autoscale = IsChecked(kIdAutoscale);
    GetCommand(kCmdSetPowerRegion)->setEnabled(!autoscale);
    m_graph.SetAutoscale(autoscale);
}

void CZelmoraDlg::OnSetPowerRegion() {
    CSetPowerRegionDlg dialog(this);
    double xFrom = 0;
    double xTo = 0;
    double yFrom = 0;
    double yTo = 0;
    m_graph.GetXLimits(xFrom, xTo);
    m_graph.GetYLimits(yFrom, yTo);
    dialog.SetRegion(xFrom, xTo, yFrom, yTo);
    dialog.DoModal();
    if (dialog.IsAccepted()) {
        m_graph.SetLimits(dialog.GetMinX(), dialog.GetMaxX(), dialog.GetMinPower(),
                          dialog.GetMaxPower());
        m_bGraphRedraw = true;
    }
}

// --- Logging ----------------------------------------------------------------

void CZelmoraDlg::OnLogOnOff() {
    if (m_bLogging) {
        // Samples the meter has already given belong in this file, even
        // those the refresh has not taken yet. (A write that fails there
        // switches logging off by itself.)
        RefreshReadings();
        if (m_bLogging) {
            m_logFile.Close();
            m_bLogging = false;
            ShowLoggingOff();
        }
        return;
    }
    const std::string path = GetText(kIdLogPath);
    // The program keeps no settings and proposes the same name after every
    // start: yesterday's file is not emptied without asking.
    if (CLogFile::HoldsData(path) && !m_prompts.askOverwrite(path)) {
        return;
    }
    if (!m_logFile.Open(path, GetText(kIdMeterList))) {
        // An unchanged "On" button alone would read as logging being on.
        m_prompts.showMessage(Format("The log file could not be opened (%s), so logging is "
                                     "off.\n\n%s",
                                     m_logFile.GetError().c_str(), path.c_str()));
        return;
    }
    SetText(kIdLogOnOff, kLogOff);
    static_cast<QCheckBox*>(GetControl(kIdLoggingIndicator))->setChecked(true);
    m_bLogging = true;
    m_bLossReported = false;
}

void CZelmoraDlg::ShowLoggingOff() {
    SetText(kIdLogOnOff, kLogOn);
    static_cast<QCheckBox*>(GetControl(kIdLoggingIndicator))->setChecked(false);
    AdvanceLogFileName();
}

void CZelmoraDlg::OnOpenLogPath() {
    if (const std::optional<std::string> path = m_prompts.chooseLogPath()) {
        SetText(kIdLogPath, *path);
        SplitLogPath();
    }
}

void CZelmoraDlg::SplitLogPath() {
    if (zelmora::SplitLogPath(GetText(kIdLogPath), m_strLogFolder, m_strLogName)) {
        m_nLogIndex = 0;
    }
}

void CZelmoraDlg::AdvanceLogFileName() {
    if (const std::optional<std::string> next =
            zelmora::AdvanceLogFileName(m_strLogFolder, m_strLogName, m_nLogIndex)) {
        SetText(kIdLogPath, *next);
    }
}

void CZelmoraDlg::OnLogPathChanged() {
    if (!m_bSettingLogPath) {
        SplitLogPath();
    }
}

bool CZelmoraDlg::AskOverwrite(const std::string& path) {
    QMessageBox box(
        QMessageBox::Warning, QString::fromUtf8(kLogTitle),
        ToQString(Format("The log file already holds data:\n%s\n\nOverwrite it?", path.c_str())),
        QMessageBox::NoButton, this);
    QPushButton* overwrite = box.addButton(QStringLiteral("Overwrite"), QMessageBox::AcceptRole);
    QPushButton* cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == overwrite;
}

void CZelmoraDlg::ShowMessage(const std::string& message) {
    // Not modal to the program: samples go on arriving while it is open.
    auto* box = new QMessageBox(QMessageBox::Warning, QString::fromUtf8(kLogTitle),
                                ToQString(message), QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

std::optional<std::string> CZelmoraDlg::ChooseLogPath() {
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    const QStringList filters = {QStringLiteral("Comma Separated Value(*.csv)"),
                                 QStringLiteral("TEXT(*.txt)")};
    dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    // A name typed without an extension gets the one of the filter shown.
    connect(&dialog, &QFileDialog::filterSelected, &dialog,
            [&dialog, filters](const QString& selected) {
                dialog.setDefaultSuffix(selected == filters[1] ? QStringLiteral("txt")
                                                               : QStringLiteral("csv"));
            });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return QDir::toNativeSeparators(dialog.selectedFiles().constFirst()).toStdString();
}

// --- Helpers ---------------------------------------------------------------

void CZelmoraDlg::SetText(int id, const std::string& text) {
    QWidget* widget = GetControl(id);
    const QString string = ToQString(text);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        edit->setText(string);
    } else if (auto* multiLine = qobject_cast<QPlainTextEdit*>(widget)) {
        m_bSettingLogPath = true;
        multiLine->setPlainText(string);
        m_bSettingLogPath = false;
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(string);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        button->setText(string);
    }
}

std::string CZelmoraDlg::GetText(int id) const {
    const QWidget* widget = GetControl(id);
    QString text;
    if (const auto* edit = qobject_cast<const QLineEdit*>(widget)) {
        text = edit->text();
    } else if (const auto* multiLine = qobject_cast<const QPlainTextEdit*>(widget)) {
        text = multiLine->toPlainText();
    } else if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        text = label->text();
    } else if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
        // Some desktops add keyboard accelerators to button texts.
        text = button->text().remove(QLatin1Char('&'));
    } else if (const auto* list = qobject_cast<const QComboBox*>(widget)) {
        text = list->currentText();
    }
    return text.toStdString();
}

bool CZelmoraDlg::IsChecked(int id) const {
    const auto* button = qobject_cast<const QAbstractButton*>(GetControl(id));
    return button != nullptr && button->isChecked();
}

} // namespace zelmora

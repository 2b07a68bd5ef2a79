#include "app/ZelmoraDlg.h"

#include "app/AboutDlg.h"
#include "app/BenchWindow.h"
#include "app/DialogTemplate.h"
#include "app/GraphView.h"
#include "app/QtCanvas.h"
#include "app/SetPowerRegionDlg.h"
#include "frontend/DiagnosticReport.h"
#include "meter/MeterPoller.h"
#include "window/DialogResource.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

namespace zelmora {

namespace {

constexpr int kToolButtonSpan = 30;

QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

CZelmoraDlg::CZelmoraDlg(UsbDriver& driver, QWidget* parent, CDeviceLink::TestTuning tuning,
                         MeterFinder* finder, std::shared_ptr<MeterSources> sources)
    : CQtDialog(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                            Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      m_driver(driver), m_tuning(tuning),
      m_sources(sources ? std::move(sources)
                        : std::make_shared<LocalMeterSources>(driver, tuning.pollSpeedUp)),
      m_logic(driver, *this, *this, tuning, m_sources),
      m_refreshTimer([this] { m_logic.OnTimer(kRefreshTimer); }),
      m_graphTimer([this] { m_logic.OnTimer(kGraphTimer); }) {
    const DialogResource& resource = CZelmoraDlgLogic::GetResource();
    setFont(CDialogTemplate(ToQString(resource.font.face), resource.font.points).GetFont());
    CreateMenu();
    BuildFromResource(resource, QPoint(0, m_menuBar->height()));
    CreateGraphView();
    CreateToolBar();
    // Whatever the event loop has just handed to the logic, it has done by
    // the time the loop looks for more: that is when a timer may go to
    // sleep or must wake. A loop that only polls (never blocks) announces
    // each pass as awake. A sample or a lost meter, on the poll's thread,
    // wakes the loop so that it looks again.
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread())) {
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                [this] { RestTimers(); });
        connect(dispatcher, &QAbstractEventDispatcher::awake, this, [this] { RestTimers(); });
        m_logic.SetSampleNotifier([dispatcher] { dispatcher->wakeUp(); });
    }
    setWindowIcon(QIcon(QStringLiteral(":/zelmora/zelmora.xpm")));
    m_logic.SetMeterFinder(finder);
    m_finder = finder;
    m_logic.OnInitDialog();
}

void CZelmoraDlg::SetProgramOptions(const AppOptions& options) {
    m_logic.SetReportSource(
        {[options, finder = m_finder](const CZelmoraDlgLogic::ReportSettings& settings) {
             return BuildWindowReport("zelmora", ZELMORA_VERSION, options, finder, settings);
         },
         DefaultReportPath});
}

CZelmoraDlg::~CZelmoraDlg() {
    m_logic.SetSampleNotifier(nullptr);
    m_refreshTimer.Stop();
    m_graphTimer.Stop();
    // The controls go first, while the logic that their handlers reach
    // still exists.
    DeleteControls();
}

void CZelmoraDlg::CreateMenu() {
    m_menuBar = new QMenuBar(this);
    m_menuBar->setNativeMenuBar(false);
    const std::span<const MenuResource> bar = ZelmoraMenuResource();
    for (const MenuResource& popup : bar) {
        QMenu* menu = m_menuBar->addMenu(ToQString(popup.text));
        AddMenuEntries(*menu, popup.entries);
    }
    // The bench view opens from the last menu (Help), after its entries;
    // the menu bar and the entries before it look as they did.
    if (!m_menuBar->actions().isEmpty()) {
        QMenu* help = m_menuBar->actions().last()->menu();
        QAction* bench = help->addAction(QStringLiteral("Bench view…"));
        bench->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_B));
        m_commands[kCmdBenchView] = bench;
        connect(bench, &QAction::triggered, this, [this] { OpenBenchView(); });
    }
    // There is no system menu to extend here: the About entry closes the
    // last menu (Help) instead.
    const std::string_view aboutText = AboutMenuText();
    if (!aboutText.empty() && !m_menuBar->actions().isEmpty()) {
        QMenu* help = m_menuBar->actions().last()->menu();
        help->addSeparator();
        QAction* about = help->addAction(ToQString(aboutText));
        m_commands[kCmdAbout] = about;
        connect(about, &QAction::triggered, this, [this] { m_logic.OnCommand(kCmdAbout); });
    }
    // The menu bar sits on top of the client area, which starts below it.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetNoConstraint);
    layout->setMenuBar(m_menuBar);
    layout->addStretch();
    m_menuBar->setFixedHeight(m_menuBar->sizeHint().height());
}

void CZelmoraDlg::AddMenuEntries(QMenu& menu, std::span<const MenuResource> entries) {
    for (const MenuResource& entry : entries) {
        if (!entry.entries.empty()) {
            AddMenuEntries(*menu.addMenu(ToQString(entry.text)), entry.entries);
        } else if (entry.command == 0) {
            menu.addSeparator();
        } else {
            QAction* action = menu.addAction(ToQString(entry.text));
            const int command = entry.command;
            m_commands[command] = action;
            connect(action, &QAction::triggered, this,
                    [this, command] { m_logic.OnCommand(command); });
        }
    }
}

void CZelmoraDlg::OpenBenchView() {
    if (!m_benchWindow) {
        m_benchWindow = std::make_unique<CBenchWindow>(m_driver, m_sources, m_tuning);
    }
    m_benchWindow->show();
    m_benchWindow->raise();
    m_benchWindow->activateWindow();
}

void CZelmoraDlg::CreateGraphView() {
    // The graph is shown over the hidden frame 1030, under its title.
    m_graphView = new CGraphView(this);
    m_graphView->setObjectName(QStringLiteral("graphView"));
    m_graphView->setGeometry(CQtDialog::GetControl(kIdGraphFrame)->geometry());
    m_graphView->lower();
    auto* title = static_cast<QLabel*>(CQtDialog::GetControl(kIdGraphTitle));
    title->setAutoFillBackground(true);
    title->raise();
    // The path box takes no line breaks: Enter is the window's.
    GetControl(kIdLogPath)->installEventFilter(this);
}

void CZelmoraDlg::CreateToolBar() {
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
    connect(setRegion, &QAction::triggered, this,
            [this] { m_logic.OnCommand(kCmdSetPowerRegion); });

    // Above the top-right corner of the graph frame.
    const QRect frame = CQtDialog::GetControl(kIdGraphFrame)->geometry();
    const int width = kToolButtonSpan * m_nToolButtons;
    const int top = std::max(m_menuBar->height(), frame.top() - 35);
    m_toolBar->setGeometry(frame.right() + 1 - width, top, width, kToolButtonSpan);
    m_toolBar->show();
}

// --- Window -------------------------------------------------------------------

QWidget* CZelmoraDlg::GetControl(int id) const {
    if (id == kIdToolBar) {
        return m_toolBar;
    }
    return CQtDialog::GetControl(id);
}

QAction* CZelmoraDlg::GetCommand(int id) const {
    const auto found = m_commands.find(id);
    return found == m_commands.end() ? nullptr : found->second;
}

CWindowTimer* CZelmoraDlg::Timer(int timerId) {
    return timerId == kRefreshTimer ? &m_refreshTimer
           : timerId == kGraphTimer ? &m_graphTimer
                                    : nullptr;
}

const CWindowTimer* CZelmoraDlg::Timer(int timerId) const {
    return const_cast<CZelmoraDlg*>(this)->Timer(timerId);
}

int CZelmoraDlg::GetTimerPeriod(int timerId) const {
    const CWindowTimer* timer = Timer(timerId);
    return timer != nullptr ? timer->GetPeriod() : -1;
}

bool CZelmoraDlg::IsTimerAwake(int timerId) const {
    const CWindowTimer* timer = Timer(timerId);
    return timer != nullptr && timer->IsAwake();
}

void CZelmoraDlg::RestTimers() {
    for (const int id : {kRefreshTimer, kGraphTimer}) {
        CWindowTimer& timer = *Timer(id);
        if (timer.GetPeriod() < 0) {
            continue;
        }
        if (m_logic.IsTimerIdle(id)) {
            timer.Sleep();
        } else {
            timer.Wake();
        }
    }
}

QRect CZelmoraDlg::GetGraphRect() const {
    const HostRect& area = m_logic.GetGraphArea();
    return {area.left, area.top, area.width, area.height};
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
    CQtDialog::showEvent(event);
}

void CZelmoraDlg::paintEvent(QPaintEvent* event) {
    // A minimised window shows its icon; the platform draws it.
    m_logic.OnPaint(isMinimized());
    CQtDialog::paintEvent(event);
}

void CZelmoraDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
            m_logic.OnOK();
            return;
        }
        break;
    case Qt::Key_Escape:
        m_logic.OnCancel();
        return;
    default:
        break;
    }
    CQtDialog::keyPressEvent(event);
}

void CZelmoraDlg::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        m_logic.OnLButtonDown();
    }
    CQtDialog::mousePressEvent(event);
}

void CZelmoraDlg::closeEvent(QCloseEvent* event) {
    m_logic.OnClose();
    event->accept();
}

bool CZelmoraDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && watched == GetControl(kIdLogPath)) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            m_logic.OnOK();
            return true;
        }
    }
    return CQtDialog::eventFilter(watched, event);
}

void CZelmoraDlg::OnControlClicked(int id) {
    m_logic.OnCommand(id);
}

void CZelmoraDlg::OnControlListChanged(int id) {
    m_logic.OnListChanged(id);
}

void CZelmoraDlg::OnControlEdited(int id) {
    m_logic.OnEditChanged(id);
}

void CZelmoraDlg::OnControlLostFocus(int id) {
    m_logic.OnKillFocus(id);
}

// --- WindowHost ---------------------------------------------------------------

void CZelmoraDlg::StartTimer(int timerId, int periodMs) {
    if (CWindowTimer* timer = Timer(timerId)) {
        timer->Start(periodMs);
    }
}

void CZelmoraDlg::KillTimer(int timerId) {
    if (CWindowTimer* timer = Timer(timerId)) {
        timer->Stop();
    }
}

void CZelmoraDlg::EnableCommand(int commandId, bool enabled) {
    if (QAction* command = GetCommand(commandId)) {
        command->setEnabled(enabled);
    }
}

HostRect CZelmoraDlg::GetControlRect(int id) const {
    const QWidget* control = GetControl(id);
    if (control == nullptr) {
        return {};
    }
    const QRect rect = control->geometry();
    return {rect.left(), rect.top(), rect.width(), rect.height()};
}

void CZelmoraDlg::DrawGraph(const HostRect& area, const std::function<void(Canvas&)>& draw) {
    // The frame on show is painted over: a new image for every drawing
    // would cost an allocation and its page faults each time.
    QImage image = m_graphView->TakeImage();
    if (image.size() != QSize(area.width, area.height)) {
        image = QImage(area.width, area.height, QImage::Format_RGB32);
    }
    image.fill(Qt::black);
    {
        CQtCanvas canvas(image);
        draw(canvas);
    }
    m_graphView->setGeometry(area.left, area.top, area.width, area.height);
    m_graphView->SetImage(std::move(image));
}

bool CZelmoraDlg::AskQuestion(std::string_view title, std::string_view question,
                              std::string_view yes, std::string_view no) {
    QMessageBox box(QMessageBox::Warning, ToQString(title), ToQString(question),
                    QMessageBox::NoButton, this);
    QPushButton* yesButton = box.addButton(ToQString(yes), QMessageBox::AcceptRole);
    QPushButton* noButton = box.addButton(ToQString(no), QMessageBox::RejectRole);
    box.setDefaultButton(noButton);
    box.setEscapeButton(noButton);
    box.exec();
    return box.clickedButton() == yesButton;
}

void CZelmoraDlg::ShowWarning(std::string_view title, std::string_view message) {
    // Not modal to the program: samples go on arriving while it is open.
    auto* box = new QMessageBox(QMessageBox::Warning, ToQString(title), ToQString(message),
                                QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

std::optional<std::string> CZelmoraDlg::ChooseSaveFile(const SaveFileRequest& request) {
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    if (!request.title.empty()) {
        dialog.setWindowTitle(ToQString(request.title));
    }
    QStringList filters;
    QStringList suffixes;
    for (const SaveFileRequest::Filter& filter : request.filters) {
        filters << ToQString(filter.name);
        QString suffix = ToQString(filter.pattern);
        suffixes << suffix.mid(suffix.lastIndexOf(QLatin1Char('.')) + 1);
    }
    dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(ToQString(request.defaultExtension));
    if (!request.initialPath.empty()) {
        dialog.selectFile(ToQString(request.initialPath));
    }
    // A name typed without an extension gets the one of the filter shown.
    connect(&dialog, &QFileDialog::filterSelected, &dialog,
            [&dialog, filters, suffixes](const QString& selected) {
                const qsizetype index = filters.indexOf(selected);
                if (index >= 0) {
                    dialog.setDefaultSuffix(suffixes[index]);
                }
            });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return QDir::toNativeSeparators(dialog.selectedFiles().constFirst()).toStdString();
}

void CZelmoraDlg::RunDialog(CDialogLogic& dialog) {
    if (auto* region = dynamic_cast<CSetPowerRegionDlgLogic*>(&dialog)) {
        CSetPowerRegionDlg window(*region, this);
        window.DoModal();
    } else if (dynamic_cast<CAboutDlgLogic*>(&dialog) != nullptr) {
        CAboutDlg window(this);
        window.DoModal();
    } else {
        CQtDialog window(dialog, this);
        window.DoModal();
    }
}

void CZelmoraDlg::OpenDocument(const std::string& name) {
    QDesktopServices::openUrl(
        QUrl::fromLocalFile(QDir::current().absoluteFilePath(QString::fromStdString(name))));
}

std::vector<std::string> CZelmoraDlg::GetManualFolders() const {
    // Beside the program (a build tree's bin/), then where the package puts
    // the documentation.
    return {QDir::cleanPath(QCoreApplication::applicationDirPath()).toStdString(), ZELMORA_DOC_DIR};
}

std::string CZelmoraDlg::GetDesktopFolder() const {
    // The default log file lies on the desktop, or in the home folder where
    // there is no desktop folder.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (folder.isEmpty() || !QDir(folder).exists()) {
        folder = QDir::homePath();
    }
    return QDir::toNativeSeparators(QDir::cleanPath(folder)).toStdString();
}

} // namespace zelmora

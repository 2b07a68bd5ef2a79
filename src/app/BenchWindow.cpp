#include "app/BenchWindow.h"

#include "app/QtCanvas.h"
#include "meter/MeterSource.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <utility>

namespace zelmora {

namespace {

QColor ToQColor(ColorRef color) {
    return {RedOf(color), GreenOf(color), BlueOf(color)};
}

} // namespace

CBenchWindow::CBenchWindow(UsbDriver& driver, std::shared_ptr<MeterSources> sources,
                           CDeviceLink::TestTuning tuning, QWidget* parent)
    : QWidget(parent, Qt::Window), m_driver(driver), m_sources(std::move(sources)),
      m_tuning(tuning) {
    setWindowTitle(QStringLiteral("Zelmora bench view"));
    setObjectName(QStringLiteral("benchView"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(160, 100);
    resize(960, 400);
    m_view.SetSize(width(), height());
    connect(&m_refreshTimer, &QTimer::timeout, this, [this] { Refresh(); });
    m_refreshTimer.start(kRefreshMs);
    Rescan();
}

CBenchWindow::~CBenchWindow() {
    m_refreshTimer.stop();
    // Each link leaves its meter; a meter another front end still reads
    // runs on for it.
    for (Meter& meter : m_meters) {
        meter.link->Stop();
    }
}

void CBenchWindow::Rescan() {
    CDeviceLink scanner(m_driver, m_tuning, m_sources);
    scanner.Rescan();
    for (const CDeviceLink::MeterListing& listing : scanner.GetMeterListing()) {
        if (listing.probeFamily.empty() || m_view.FindTile(listing.id) != nullptr) {
            continue;
        }
        auto link = std::make_unique<CDeviceLink>(m_driver, m_tuning, m_sources);
        link->Start(listing.id, true);
        CBenchTile& tile = m_view.AddTile(CBenchTile(
            listing.id,
            link->GetProbeFamily().empty() ? listing.probeFamily : link->GetProbeFamily(),
            link->GetProbeModel().empty() ? listing.probeModel : link->GetProbeModel()));
        tile.SetConnected(link->IsRunning());
        m_meters.push_back({listing.id, std::move(link)});
    }
    Redraw();
}

void CBenchWindow::Refresh() {
    m_sinceRetryMs += kRefreshMs;
    const bool retry = m_sinceRetryMs >= kRetryMs;
    if (retry) {
        m_sinceRetryMs = 0;
    }
    bool changed = false;
    for (std::size_t i = 0; i < m_meters.size(); ++i) {
        Meter& meter = m_meters[i];
        CBenchTile& tile = m_view.Tiles()[i];
        for (const MeterSample& sample : meter.link->TakeSamples()) {
            tile.OnSample(sample);
            changed = true;
        }
        if (!meter.link->IsRunning()) {
            if (tile.IsConnected()) {
                tile.SetConnected(false);
                changed = true;
            }
            if (retry) {
                meter.link->Start(meter.id, true);
            }
        }
    }
    if (changed) {
        Redraw();
    }
}

void CBenchWindow::Redraw() {
    const QSize size(std::max(1, width()), std::max(1, height()));
    if (m_image.size() != size) {
        m_image = QImage(size, QImage::Format_RGB32);
    }
    m_image.fill(ToQColor(CBenchView::kBackground));
    {
        CQtCanvas canvas(m_image);
        m_view.Draw(canvas);
    }
    update();
}

void CBenchWindow::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.drawImage(event->rect().topLeft(), m_image, event->rect());
}

void CBenchWindow::resizeEvent(QResizeEvent* event) {
    m_view.SetSize(event->size().width(), event->size().height());
    Redraw();
}

void CBenchWindow::keyPressEvent(QKeyEvent* event) {
    int key = 0;
    switch (event->key()) {
    case Qt::Key_Tab:
        key = kBenchKeyTab;
        break;
    case Qt::Key_Backtab:
        key = kBenchKeyBackTab;
        break;
    case Qt::Key_Left:
        key = kBenchKeyLeft;
        break;
    case Qt::Key_Right:
        key = kBenchKeyRight;
        break;
    case Qt::Key_Up:
        key = kBenchKeyUp;
        break;
    case Qt::Key_Down:
        key = kBenchKeyDown;
        break;
    default:
        if (const QString text = event->text(); text.size() == 1 && text[0].unicode() < 0x80) {
            key = text[0].unicode();
        }
        break;
    }
    if (key != 0 && m_view.OnKey(key)) {
        Redraw();
        return;
    }
    QWidget::keyPressEvent(event);
}

void CBenchWindow::mousePressEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    if (m_view.OnClick(at.x(), at.y())) {
        Redraw();
    }
}

bool CBenchWindow::focusNextPrevChild(bool) {
    return false;
}

} // namespace zelmora

#include "app/BenchWindow.h"

#include "app/QtCanvas.h"

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
    : QWidget(parent, Qt::Window), m_feed(m_view, driver, std::move(sources), tuning) {
    setWindowTitle(QStringLiteral("Zelmora bench view"));
    setObjectName(QStringLiteral("benchView"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(160, 100);
    resize(960, 400);
    m_view.SetSize(width(), height());
    connect(&m_refreshTimer, &QTimer::timeout, this, [this] { Refresh(); });
    m_refreshTimer.start(CBenchFeed::kRefreshMs);
    Rescan();
}

CBenchWindow::~CBenchWindow() {
    m_refreshTimer.stop();
}

void CBenchWindow::Rescan() {
    m_feed.Rescan();
    Redraw();
}

void CBenchWindow::Refresh() {
    if (m_feed.Refresh()) {
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

#include "app/GraphView.h"

#include <QPaintEvent>
#include <QPainter>
#include <algorithm>

namespace zelmora {

CGraphView::CGraphView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
}

void CGraphView::SetImage(QImage image) {
    m_image = std::move(image);
    // Shown at once: a posted update would cost the event loop another turn
    // for every drawing, to paint the same pixels a moment later.
    repaint();
}

void CGraphView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    if (m_image.isNull()) {
        painter.fillRect(event->rect(), Qt::black);
        return;
    }
    // Qt hands a copy of more than about 96 rows to its thread pool and
    // waits for the threads; for a copy of a few hundred rows, waking them
    // costs the window more than the copy itself. Bands it copies alone
    // paint the same pixels.
    constexpr int kBandRows = 64;
    const QRect area = event->rect();
    for (int top = area.top(); top <= area.bottom(); top += kBandRows) {
        const QRect band(area.left(), top, area.width(),
                         std::min(kBandRows, area.bottom() + 1 - top));
        painter.drawImage(band.topLeft(), m_image, band);
    }
}

} // namespace zelmora

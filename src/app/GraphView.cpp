#include "app/GraphView.h"

#include <QPaintEvent>
#include <QPainter>

namespace zelmora {

CGraphView::CGraphView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
}

void CGraphView::SetImage(QImage image) {
    m_image = std::move(image);
    update();
}

void CGraphView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    if (m_image.isNull()) {
        painter.fillRect(event->rect(), Qt::black);
        return;
    }
    painter.drawImage(event->rect().topLeft(), m_image, event->rect());
}

} // namespace zelmora

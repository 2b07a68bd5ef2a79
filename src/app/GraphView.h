#pragma once

// The graph area of the main window: shows the last off-screen drawing of
// the graph as it is, in one piece. Painting the image directly spares a
// conversion to a pixmap on every 40 ms tick.

#include <QImage>
#include <QWidget>
#include <utility>

namespace zelmora {

class CGraphView : public QWidget {
    Q_OBJECT

public:
    explicit CGraphView(QWidget* parent = nullptr);

    // Shows `image` at once, and from then on.
    void SetImage(QImage image);
    const QImage& GetImage() const { return m_image; }
    // Hands the image over to be drawn anew, leaving none until SetImage.
    QImage TakeImage() { return std::exchange(m_image, QImage()); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_image;
};

} // namespace zelmora

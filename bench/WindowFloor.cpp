// The least a Qt Widgets window can cost for what the main window shows on
// every sample: three read-only line edits take a new text (the power, the
// duration and the count) and an image the size of the graph is shown
// anew, ten times a second, with nothing else running. A yardstick for
// scripts/window-cost.sh --floor, which measures it as it measures the
// program; the updates start with the first click into the window, as the
// program's start with Start.

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPainter>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

namespace {

// The graph's size in the main window under the script's virtual screen.
constexpr int kGraphWidth = 612;
constexpr int kGraphHeight = 217;

class ImageView : public QWidget {
public:
    ImageView() {
        setFixedSize(m_image.size());
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
    QImage& Image() { return m_image; }

protected:
    // As the program's graph view: copied in bands Qt copies alone.
    void paintEvent(QPaintEvent* event) override {
        QPainter painter(this);
        const QRect area = event->rect();
        for (int top = area.top(); top <= area.bottom(); top += 64) {
            const QRect band(area.left(), top, area.width(), std::min(64, area.bottom() + 1 - top));
            painter.drawImage(band.topLeft(), m_image, band);
        }
    }

private:
    QImage m_image{kGraphWidth, kGraphHeight, QImage::Format_RGB32};
};

class FirstClick : public QObject {
public:
    explicit FirstClick(QTimer& timer) : m_timer(timer) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonPress && !m_timer.isActive()) {
            m_timer.start(100);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QTimer& m_timer;
};

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QDialog window;
    window.setWindowTitle(QStringLiteral("Meter floor"));
    auto* layout = new QVBoxLayout(&window);
    QLineEdit* boxes[3];
    for (QLineEdit*& box : boxes) {
        box = new QLineEdit;
        box->setReadOnly(true);
        layout->addWidget(box);
    }
    auto* view = new ImageView;
    view->Image().fill(Qt::black);
    layout->addWidget(view);

    long count = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ++count;
        boxes[0]->setText(QString::number(0.0123 + static_cast<double>(count % 97) * 1e-6, 'f', 7) +
                          QStringLiteral("W"));
        boxes[1]->setText(QStringLiteral("00:%1:%2(%3)")
                              .arg(count / 600 % 60, 2, 10, QChar('0'))
                              .arg(count / 10 % 60, 2, 10, QChar('0'))
                              .arg(count % 10 * 100, 3, 10, QChar('0')));
        boxes[2]->setText(QString::number(count));
        view->Image().fill(Qt::black);
        view->repaint();
    });
    FirstClick firstClick(timer);
    application.installEventFilter(&firstClick);
    window.show();
    return application.exec();
}

#pragma once

// The bench view's Qt host: a resizable window that gives CBenchView a
// canvas of its size, passes it keys and clicks, and refreshes its tiles
// from a CBenchFeed (which joins the main window's meter, not opens it a
// second time).

#include "meter/DeviceLink.h"
#include "window/BenchFeed.h"
#include "window/BenchView.h"

#include <QImage>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

namespace zelmora {

class MeterSources;
class UsbDriver;

class CBenchWindow : public QWidget {
    Q_OBJECT

public:
    CBenchWindow(UsbDriver& driver, std::shared_ptr<MeterSources> sources,
                 CDeviceLink::TestTuning tuning = {}, QWidget* parent = nullptr);
    ~CBenchWindow() override;

    // Lists the meters present; each one without a tile gets one, and a
    // link that starts it.
    void Rescan();
    // Takes every link's new samples into its tile and draws the view.
    void Refresh();

    CBenchView& View() { return m_view; }
    // The last drawing, as shown.
    const QImage& Image() const { return m_image; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    // Tab and Shift+Tab move between the tiles, not between widgets.
    bool focusNextPrevChild(bool next) override;

private:
    void Redraw();

    CBenchView m_view;
    CBenchFeed m_feed;
    QTimer m_refreshTimer;
    QImage m_image;
};

} // namespace zelmora

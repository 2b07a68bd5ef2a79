#pragma once

// The bench view's Qt host: a resizable window that gives CBenchView a
// canvas of its size and passes it keys and clicks.
//
// Every meter present gets a tile and a link of its own. The links open
// their meters through the same MeterSources as the main window, so the
// meter the main window measures is joined, not opened a second time, and
// at the period it already runs with: the main window's samples, its
// statistics and its log stay exactly as they would be without the view.
// A meter that goes away is tried again every few seconds.

#include "meter/DeviceLink.h"
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
    // The tiles are refreshed this often.
    static constexpr int kRefreshMs = 100;
    // A meter away is looked for again this often.
    static constexpr int kRetryMs = 3000;

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

    struct Meter {
        std::string id;
        std::unique_ptr<CDeviceLink> link;
    };

    UsbDriver& m_driver;
    std::shared_ptr<MeterSources> m_sources;
    CDeviceLink::TestTuning m_tuning;
    CBenchView m_view;
    std::vector<Meter> m_meters;
    QTimer m_refreshTimer;
    int m_sinceRetryMs = 0;
    QImage m_image;
};

} // namespace zelmora

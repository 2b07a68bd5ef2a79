#pragma once

// The bench view's meters, without a toolkit: every meter present gets a
// tile and a link of its own, and each refresh takes the links' samples
// into their tiles. Both window hosts drive it from a timer of theirs.
//
// The links open their meters through the same MeterSources as the main
// window, so the meter the main window measures is joined, not opened a
// second time, and at the period it already runs with: the main window's
// samples, its statistics and its log stay exactly as they would be
// without the view. A meter that goes away is tried again every few
// seconds.
//
// Everything runs on the window's thread.

#include "meter/DeviceLink.h"
#include "window/BenchView.h"

#include <memory>
#include <string>
#include <vector>

namespace zelmora {

class MeterSources;
class UsbDriver;

class CBenchFeed {
public:
    // The hosts refresh the tiles this often.
    static constexpr int kRefreshMs = 100;
    // A meter away is looked for again this often.
    static constexpr int kRetryMs = 3000;

    CBenchFeed(CBenchView& view, UsbDriver& driver, std::shared_ptr<MeterSources> sources,
               CDeviceLink::TestTuning tuning = {});
    // Each link leaves its meter; a meter another front end still reads
    // runs on for it.
    ~CBenchFeed();

    CBenchFeed(const CBenchFeed&) = delete;
    CBenchFeed& operator=(const CBenchFeed&) = delete;

    // Lists the meters present; each one without a tile gets one, and a
    // link that starts it.
    void Rescan();
    // Takes every link's new samples into its tile, after `elapsedMs` since
    // the last refresh. True when a tile changed and the view must be drawn.
    bool Refresh(int elapsedMs = kRefreshMs);

private:
    struct Meter {
        std::string id;
        std::unique_ptr<CDeviceLink> link;
    };

    CBenchView& m_view;
    UsbDriver& m_driver;
    std::shared_ptr<MeterSources> m_sources;
    CDeviceLink::TestTuning m_tuning;
    std::vector<Meter> m_meters;
    int m_sinceRetryMs = 0;
};

} // namespace zelmora

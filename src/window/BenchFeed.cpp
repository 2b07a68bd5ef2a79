#include "window/BenchFeed.h"

#include "meter/MeterSource.h"

#include <utility>

namespace zelmora {

CBenchFeed::CBenchFeed(CBenchView& view, UsbDriver& driver, std::shared_ptr<MeterSources> sources,
                       CDeviceLink::TestTuning tuning)
    : m_view(view), m_driver(driver), m_sources(std::move(sources)), m_tuning(tuning) {}

CBenchFeed::~CBenchFeed() {
    for (Meter& meter : m_meters) {
        meter.link->Stop();
    }
}

void CBenchFeed::Rescan() {
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
}

bool CBenchFeed::Refresh(int elapsedMs) {
    m_sinceRetryMs += elapsedMs;
    const bool retry = m_sinceRetryMs >= kRetryMs;
    if (retry) {
        m_sinceRetryMs = 0;
    }
    bool changed = false;
    for (Meter& meter : m_meters) {
        CBenchTile* tile = m_view.FindTile(meter.id);
        if (tile == nullptr) {
            continue;
        }
        for (const MeterSample& sample : meter.link->TakeSamples()) {
            tile->OnSample(sample);
            changed = true;
        }
        if (!meter.link->IsRunning()) {
            if (tile->IsConnected()) {
                tile->SetConnected(false);
                changed = true;
            }
            if (retry) {
                meter.link->Start(meter.id, true);
            }
        }
    }
    return changed;
}

} // namespace zelmora

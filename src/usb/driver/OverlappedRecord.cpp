#include "usb/driver/OverlappedRecord.h"

#include <utility>

namespace zelmora {

OverlappedRecord::~OverlappedRecord() {
    Release();
}

void OverlappedRecord::Attach(std::unique_ptr<OverlappedState> state) {
    Release();
    m_state = std::move(state);
}

void OverlappedRecord::Release() {
    if (m_state) {
        m_state->End();
        m_state.reset();
    }
}

} // namespace zelmora

#include "usb/driver/Guid.h"

#include "util/TextFormat.h"

namespace zelmora {

std::string FormatGuid(const Guid& guid) {
    const auto& d = guid.data4;
    return Format("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.data1), static_cast<unsigned>(guid.data2),
                  static_cast<unsigned>(guid.data3), d[0], d[1], d[2], d[3], d[4], d[5], d[6],
                  d[7]);
}

} // namespace zelmora

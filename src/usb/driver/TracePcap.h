#pragma once

// A trace as a packet capture: the control transfers it holds as USB
// packets of the Linux usbmon link type (the 64-byte header of the
// memory-mapped interface), so that a trace can be read in a packet
// analyser beside a capture taken there. Each transfer is a submission
// ('S', with the setup packet, and the data of an OUT transfer) and its
// completion ('C', with its status and the data of an IN transfer). The
// file is little-endian with microsecond times counted from the trace's
// start; the device number is the trace's handle.

#include "usb/driver/Trace.h"

#include <cstdint>
#include <vector>

namespace zelmora {

inline constexpr std::uint32_t kPcapMagic = 0xa1b2c3d4;
inline constexpr std::uint32_t kPcapSnapLength = 65535;
inline constexpr std::uint32_t kPcapLinkTypeUsbLinuxMmapped = 220;
inline constexpr std::size_t kUsbmonHeaderSize = 64;

// The whole capture file; a trace without control transfers gives the file
// header alone. `packets`, when given, receives the packet count.
std::vector<std::uint8_t> TraceToPcap(const Trace& trace, std::size_t* packets = nullptr);

} // namespace zelmora

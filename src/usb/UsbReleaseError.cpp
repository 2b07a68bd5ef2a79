#include "usb/UsbReleaseError.h"

namespace zelmora {

UsbReleaseError::UsbReleaseError(const char* message) : std::runtime_error(message) {}

} // namespace zelmora

// The main() of the test programs that emulate devices, apart from the
// emulation itself, which the Python module's tests load without GoogleTest.

#include "UsbFsEmulation.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace zelmora {

int RunEmulatedTests(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    {
        const UsbFsEmulation probe;
        if (!UsbFsEmulation::Active()) {
            std::fputs("SKIPPED: umockdev's preload library is not loaded; the libusb tests "
                       "need it (run them through CTest or umockdev-wrapper)\n",
                       stderr);
            return 77;
        }
    }
    return RUN_ALL_TESTS();
}

} // namespace zelmora

// GLib and umockdev synchronise their worker threads in ways that
// ThreadSanitizer does not see (they are not instrumented); libudev, which
// libusb calls from its event thread and from ours, fills a buffer of its
// own with getrandom on both. Their reports say nothing about this
// program's code. Read only under ThreadSanitizer, by every test program
// that emulates devices.
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions() {
    return "race:libglib-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "race:libgio-2.0.so\n"
           "race:libumockdev.so\n"
           "race:libumockdev-preload.so\n"
           "race:libudev.so.1\n";
}

// The main() of the test programs that emulate devices, apart from the
// emulation itself, which the Python module's tests load without GoogleTest.

#include "UsbFsEmulation.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zelmora {

namespace {

// Root passes over a file's permission bits with these two capabilities;
// without them in the effective set (this thread's, and every thread's it
// starts later), a device node that the user may not open refuses root as
// well. They stay permitted, so nothing else is lost.
void DropFileAccessOverride() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) {
        return;
    }
    for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        data[CAP_TO_INDEX(capability)].effective &= ~CAP_TO_MASK(capability);
    }
    if (::syscall(SYS_capset, &header, data) != 0) {
        std::perror("capset");
    }
}

} // namespace

int RunEmulatedTests(int argc, char** argv) {
    DropFileAccessOverride();
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

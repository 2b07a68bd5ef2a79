// A SCPI session fed any messages between any samples: no crash, answers
// only in printable ASCII lines (nothing a client sent is echoed raw), a
// bounded error queue, and a session that waits only while a reading is
// still to come.

#include "FuzzInput.h"
#include "meter/DeviceLink.h"
#include "scpi/ScpiSession.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zelmora;
    fuzz::Input input(data, size);
    CScpiSession session(
        ScpiMeterInfo{"210400101", "RM", "RM43", "zelmora-cli", "1",
                      [](int range) { return CDeviceLink::RangeLimit("RM", "RM43", range); }});
    std::string output;
    int steps = 0;
    while (!input.Empty() && ++steps < 256) {
        const std::uint8_t what = input.Byte();
        if (what < 0x20) {
            MeterSample sample;
            sample.power = static_cast<double>(input.Value<std::uint16_t>()) / 100;
            sample.unit = (what & 1) != 0 ? PowerUnit::Milliwatt : PowerUnit::Watt;
            sample.status = static_cast<SampleStatus>((what >> 1) % 3);
            sample.range = static_cast<int>(input.Byte() % 16) - 1;
            sample.wavelength = input.Value<std::uint16_t>();
            session.OnSample(sample);
        } else if (what == 0x7F) {
            session.OnMeterLost();
        } else if (!session.Waiting()) {
            session.Execute(input.Text());
        }
        output += session.TakeOutput();
    }
    // Blocks of SYSTem:HELP carry LFs inside; everything else is one line
    // per message.
    for (const char c : output) {
        if (c != '\n' && (c < 0x20 || c > 0x7E)) {
            std::abort();
        }
    }
    session.Execute("SYST:ERR:COUN?");
    const std::string count = session.TakeOutput();
    if (!session.Waiting() && (count.empty() || std::atoi(count.c_str()) > 16)) {
        std::abort();
    }
    return 0;
}

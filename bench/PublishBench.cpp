// Messages per second that one publishing client sustains to a broker on
// the same machine: records handed to the MQTT sink in the batches a log
// run writes at once (one meter, or fifteen of them, per turn) and timed
// until the broker has acknowledged every one (QoS 1). The broker is
// Debian's mosquitto on 127.0.0.1, started by the benchmark and stopped
// after; without it the benchmark is skipped.

#include "publish/MqttSink.h"
#include "record/Record.h"
#include "support/MqttBroker.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace zelmora {
namespace {

std::vector<Record> Records(std::size_t meters) {
    std::vector<Record> records;
    for (std::size_t i = 0; i < meters; ++i) {
        records.push_back({.utcTime = std::chrono::system_clock::now(),
                           .elapsedMs = 100,
                           .meter = std::to_string(210400101 + i),
                           .count = 0,
                           .power = 0.012345,
                           .range = 0,
                           .wavelength = 1064});
    }
    return records;
}

void BM_PublishedToLocalBroker(benchmark::State& state) {
    const auto meters = static_cast<std::size_t>(state.range(0));
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        ("zelmora-bench-broker-" + std::to_string(::getpid()) + "-" + std::to_string(meters));
    {
        CTestBroker broker(folder);
        if (!broker.Start()) {
            state.SkipWithError("mosquitto does not start");
            return;
        }
        MqttSettings settings;
        ParseBrokerAddress(broker.Url(), settings.broker);
        settings.topic = "bench/publish";
        settings.clientId = "bench";
        CMqttSink sink(settings);
        if (!sink.Connect()) {
            state.SkipWithError(("cannot publish: " + sink.Error()).c_str());
            return;
        }
        std::vector<Record> records = Records(meters);
        RunMetadata metadata{.program = "bench"};
        for (const Record& record : records) {
            metadata.meters.push_back({record.meter, "KV", "KV50", 1064});
        }
        sink.Begin(metadata);
        std::uint64_t sent = 0;
        for (auto _ : state) {
            for (Record& record : records) {
                ++record.count;
            }
            sink.Write(records);
            sent += records.size();
            while (sink.Counts().delivered < sent) {
                std::this_thread::yield();
            }
        }
        sink.End();
        state.SetItemsProcessed(static_cast<std::int64_t>(sent));
        state.counters["dropped"] = static_cast<double>(sink.Counts().dropped);
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

// A turn of one meter is a round trip per message; one of fifteen lets
// the sink keep several messages in flight; a thousand is what waited
// while the broker was away. The time is the wall's: the work is done on
// the sink's thread and in the broker.
BENCHMARK(BM_PublishedToLocalBroker)
    ->Arg(1)
    ->Arg(15)
    ->Arg(1000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace zelmora

BENCHMARK_MAIN();

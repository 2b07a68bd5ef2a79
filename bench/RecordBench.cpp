// Records formatted and written per second: samples made into records and
// handed to a file in CSV and in JSON Lines, in the batches a log run
// writes at once (one meter, or fifteen of them, per turn).

#include "cli/RecordFileSink.h"
#include "record/Record.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <filesystem>
#include <unistd.h>

namespace zelmora {
namespace {

std::vector<MeterSample> Samples(std::size_t count) {
    std::vector<MeterSample> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        MeterSample& sample = samples[i];
        sample.power = 0.012345 + static_cast<double>(i) * 1e-6;
        sample.unit = PowerUnit::Watt;
        sample.count = static_cast<std::int64_t>(i);
        sample.elapsedMs = 100 * (i + 1);
        sample.range = 0;
        sample.wavelength = 1064;
        sample.utcTime = std::chrono::system_clock::now();
    }
    return samples;
}

void BM_RecordsWritten(benchmark::State& state, RecordFormat format, RecordUnit unit) {
    const auto batch = static_cast<std::size_t>(state.range(0));
    const std::vector<MeterSample> samples = Samples(batch);
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("zelmora-bench-" + std::to_string(::getpid()) + ".out"))
                                 .string();
    CRecordFileSink sink(format, unit);
    if (!sink.Open(path, -1, false)) {
        state.SkipWithError("the file cannot be opened");
        return;
    }
    std::vector<Record> records;
    std::size_t turns = 0;
    for (auto _ : state) {
        records.clear();
        for (const MeterSample& sample : samples) {
            records.push_back(MakeRecord(sample, "210400101", unit));
        }
        if (!sink.Write(records)) {
            state.SkipWithError("the write failed");
            break;
        }
        // Keep the file small: start it again now and then, untimed.
        if (++turns % 4096 == 0) {
            state.PauseTiming();
            sink.Open(path, -1, false);
            state.ResumeTiming();
        }
    }
    sink.End();
    std::filesystem::remove(path);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * batch));
}

BENCHMARK_CAPTURE(BM_RecordsWritten, csv_W, RecordFormat::Csv, RecordUnit::W)->Arg(1)->Arg(15);
BENCHMARK_CAPTURE(BM_RecordsWritten, jsonl_W, RecordFormat::JsonLines, RecordUnit::W)
    ->Arg(1)
    ->Arg(15);
BENCHMARK_CAPTURE(BM_RecordsWritten, csv_dBm, RecordFormat::Csv, RecordUnit::dBm)->Arg(15);

} // namespace
} // namespace zelmora

BENCHMARK_MAIN();

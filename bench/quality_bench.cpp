// What the supply-quality report costs (scripts/bench):
//
//   quality/round          a round through the recorder: its values read from
//                          the record and added to the ten-minute values on
//                          the line thread, and once in 600 rounds the ended
//                          interval stored by the writer thread
//   quality/assess_week    a week of stored ten-minute values read from the
//                          history file, assessed and written as its
//                          document: what the week's end and a request for
//                          a week do
//
// Google Benchmark options pass through.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/json_text.h"
#include "quality/quality_assessment.h"
#include "quality/quality_recorder.h"
#include "quality/quality_report.h"
#include "quality/quality_sample.h"
#include "quality/quality_store.h"
#include "ved96/signals.h"

namespace {

using namespace vedhost::quality;

// A record whose quality registers all hold plausible, differing values.
std::vector<unsigned char> meterRecord(unsigned seed) {
    std::vector<unsigned char> r(1009, 0);
    auto set = [&](const char* id, unsigned raw) {
        const auto* s = ved96_report::findSignal(id);
        r[s->offset] = static_cast<unsigned char>(raw & 0xff);
        r[s->offset + 1] = static_cast<unsigned char>(raw >> 8);
    };
    const char* phases[] = {"a", "b", "c"};
    set("phase_voltage_a", 2300 + seed % 50);
    set("phase_voltage_b", 2310);
    set("phase_voltage_c", 2290);
    set("line_voltage_ab", 3990 + seed % 20);
    set("line_voltage_bc", 4000);
    set("line_voltage_ca", 4010);
    set("frequency", 4995 + seed % 10);
    for (int p = 0; p < 3; ++p) {
        set(("voltage_thd_" + std::string(phases[p])).c_str(), 200 + seed % 30);
        for (int n = 2; n <= 31; ++n)
            set(("voltage_h" + std::to_string(n) + "_" + phases[p]).c_str(), (n * 7 + seed) % 90);
    }
    return r;
}

// The recorder with its store on a file: the line thread's part and, every
// 600 rounds (a round a second), the writer thread's commit of the ended ten
// minutes, both in the process CPU time.
void quality_round(benchmark::State& state) {
    char name[] = "/tmp/vedhost-quality-bench-XXXXXX";
    const std::string dir = mkdtemp(name);
    {
        QualityStore store;
        std::string error;
        store.open(dir + "/history.db", false, 128u << 20, error);
        QualityRecorder recorder(store, Nominal{});
        const auto record = meterRecord(3);
        std::int64_t ms = 1795993200000;
        for (auto _ : state) {
            recorder.round(1, ms, record.data(), record.size());
            ms += 1000;
        }
        recorder.flush();
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(quality_round)->Name("quality/round")->MeasureProcessCPUTime();

// One week of one meter's ten-minute values in a history file of its own.
struct StoredWeek {
    std::string dir, path;
    QualityStore store;
    Week week;
    StoredWeek() {
        char name[] = "/tmp/vedhost-quality-bench-XXXXXX";
        dir = mkdtemp(name);
        path = dir + "/history.db";
        std::string error;
        store.open(path, false, 128u << 20, error);
        parseWeek("2026-W49", week);
        const SampleReader reader;
        IntervalAccumulator acc;
        std::vector<std::pair<unsigned, Interval>> intervals;
        for (std::int64_t t = week.start; t <= week.end; t += 10) {
            const auto r = meterRecord(static_cast<unsigned>(t / 10));
            if (auto closed = acc.add(reader.read(r.data(), r.size(), t * 1000)))
                intervals.emplace_back(1, *closed);
        }
        bool full = false;
        store.putIntervals(intervals, full, error);
    }
    ~StoredWeek() { std::filesystem::remove_all(dir); }
};

void quality_assess_week(benchmark::State& state) {
    StoredWeek stored;
    for (auto _ : state) {
        const auto intervals = stored.store.intervals(1, stored.week.start, stored.week.end);
        const Assessment a = assess(1, stored.week, intervals, Nominal{}, true, stored.week.end);
        benchmark::DoNotOptimize(vedhost::compactJson(assessmentJson(a)));
    }
}
BENCHMARK(quality_assess_week)->Name("quality/assess_week")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// What the plug-in costs: one operation per row, each timed with Google
// Benchmark, or counted in instructions under callgrind:
//
//   ved96_bench [Google Benchmark options]      times (scripts/bench)
//   ved96_bench --list                          the operations' names
//   ved96_bench --run NAME COUNT                NAME COUNT times inside
//                                               bench_measured(), for
//                                               callgrind --toggle-collect
//
// Every device runs with the host's do-nothing services and its console lines
// go to a null stream, so the figures are the plug-in's own work.
#include <benchmark/benchmark.h>
#include <json/value.h>
#include <json/writer.h>
#include <malloc.h>

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "support/malloc_count.h"
#include "ved96/ved96.h"

namespace {

using Op = std::function<void()>;

// ---- The clock the devices read: advanced by a round that must rebuild -----

std::time_t g_now = 1709802302;  // 2024-03-07 09:05:02 UTC
std::time_t benchClock() { return g_now; }

class NullBuffer : public std::streambuf {
  protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// The console lines of the plug-in ("rvSize is ...") go nowhere while the
// operations run.
class QuietConsole {
  public:
    QuietConsole() : saved_(std::cout.rdbuf(&null_)) {}
    ~QuietConsole() { std::cout.rdbuf(saved_); }

  private:
    NullBuffer null_;
    std::streambuf* saved_;
};

// A record whose registers all differ, so every report value is a real one.
void fillRecord(ved96_Data_t& record, unsigned seed) {
    auto* bytes = reinterpret_cast<unsigned char*>(&record);
    for (std::size_t i = 0; i < sizeof record; ++i)
        bytes[i] = static_cast<unsigned char>(i * 7 + seed);
    record.phase_voltage_a = record.phase_voltage_b = record.phase_voltage_c = 230;
    record.wiring_mode = 1;
    record.update_time = ttime{2024, 3, 7, 9, 5, 2};
}

// Marks a new round for a build called directly.
void nextRound(ved96& meter) {
    static boost::posix_time::ptime round =
        boost::posix_time::time_from_string("2024-03-07 09:05:02");
    round += boost::posix_time::seconds(1);
    meter.roundTime_ = round;
}

std::unique_ptr<ved96> makeMeter(int scheme) {
    auto meter = std::make_unique<ved96>();
    meter->timeSource_ = benchClock;
    meter->b_mode_ = scheme;
    fillRecord(meter->data_, 1);
    return meter;
}

// The report's member names, in document order, from a first build.
std::vector<std::string> reportKeys() {
    QuietConsole quiet;
    auto meter = makeMeter(3);
    meter->roundTime_ = boost::posix_time::time_from_string("2024-03-07 09:05:02");
    meter->GenJsonData();
    return meter->jsonData_.getMemberNames();
}

// Scheme 1: the first `count` report members as AI signals (the 36
// measurements first, as a meter's configuration lists them).
void addAiSignals(ved96& meter, std::size_t count) {
    const std::vector<std::string> keys = reportKeys();
    static const char* const kFirst[] = {"A相电压", "B相电压", "C相电压", "平均相电压"};
    std::vector<std::string> chosen(std::begin(kFirst), std::end(kFirst));
    for (const std::string& key : keys)
        if (chosen.size() < count && meter.aiSignalMap_.count(key) == 0 &&
            std::find(chosen.begin(), chosen.end(), key) == chosen.end())
            chosen.push_back(key);
    chosen.resize(std::min(count, chosen.size()));
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        char id[64];
        std::snprintf(id, sizeof id, "001%03zu001%04zu", i, i);
        meter.aiSignalMap_[chosen[i]] = {id, "signal " + std::to_string(i)};
    }
}

// Scheme 5: `signals` report members, each with all four limits; about half
// of the alarms are active every round (value 230 against the limits).
void addThresholds(ved96& meter, std::size_t signals) {
    const std::vector<std::string> keys = reportKeys();
    for (std::size_t i = 0; i < signals && i < keys.size(); ++i) {
        const std::string& key = keys[i];
        const std::string id = "005" + std::to_string(100000 + i);
        meter.upThresholdMap_[key] = {id + "001", 200.0f, 190.0f, false, 1};
        meter.up2ThresholdMap_[key] = {id + "002", 60000.0f, 59000.0f, false, 2};
        meter.lowThresholdMap_[key] = {id + "003", 10.0f, 20.0f, false, 1};
        meter.low2ThresholdMap_[key] = {id + "004", 60000.0f, 61000.0f, false, 2};
    }
}

struct Operation {
    std::string name;
    std::function<Op()> setup;  // makes the state, returns the operation
    int devices = 1;            // the operation covers this many device rounds
};

// One round completion of every meter; `rebuild` moves the clock on a second
// first, so that the report is built again.
Op rounds(std::vector<std::unique_ptr<ved96>> meters, bool rebuild) {
    auto shared = std::make_shared<std::vector<std::unique_ptr<ved96>>>(std::move(meters));
    for (auto& m : *shared) m->RoundDone();  // warm: the report exists
    return [shared, rebuild] {
        if (rebuild) ++g_now;
        for (auto& m : *shared) m->RoundDone();
    };
}

std::vector<std::unique_ptr<ved96>> schemeOne(std::size_t ai, int count = 1) {
    std::vector<std::unique_ptr<ved96>> meters;
    for (int i = 0; i < count; ++i) {
        meters.push_back(makeMeter(1));
        addAiSignals(*meters.back(), ai);
    }
    return meters;
}

std::vector<std::unique_ptr<ved96>> schemeFive(std::size_t signals) {
    std::vector<std::unique_ptr<ved96>> meters;
    meters.push_back(makeMeter(5));
    addThresholds(*meters.back(), signals);
    return meters;
}

// The floor: a bare jsoncpp loop over a warm object with the report's keys,
// one look-up per key (two for each alert boolean) and a move-assigned
// number or static text; 281 look-ups, as a report build makes.
Op jsoncppFloor() {
    auto keys = std::make_shared<std::vector<std::string>>(reportKeys());
    auto alerts = std::make_shared<std::vector<std::string>>();
    {
        QuietConsole quiet;
        auto meter = makeMeter(3);
        meter->roundTime_ = boost::posix_time::time_from_string("2024-03-07 09:05:02");
        meter->GenJsonData();
        *alerts = meter->jsonData_["AlertArray"].getMemberNames();
    }
    auto object = std::make_shared<Json::Value>(Json::objectValue);
    for (const auto& k : *keys)
        if (k != "AlertArray") (*object)[k] = 0.0;
    for (const auto& a : *alerts) (*object)["AlertArray"][a] = false;
    auto step = std::make_shared<double>(0);
    return [keys, alerts, object, step] {
        Json::Value& o = *object;
        double v = ++*step;
        for (const auto& k : *keys) {
            if (k == "AlertArray") continue;
            o[k.c_str()] =
                (k.size() & 1) ? Json::Value(v) : Json::Value(Json::StaticString("正常"));
        }
        for (const auto& a : *alerts) o["AlertArray"][a.c_str()] = Json::Value(true);
    };
}

std::vector<Operation> operations() {
    std::vector<Operation> ops;
    ops.push_back({"floor/jsoncpp_281_lookups", jsoncppFloor});
    ops.push_back({"round/scheme1_36ai/rebuild", [] { return rounds(schemeOne(36), true); }});
    ops.push_back({"round/scheme1_36ai/same_second", [] { return rounds(schemeOne(36), false); }});
    ops.push_back({"round/scheme5_20x4/rebuild", [] { return rounds(schemeFive(20), true); }});
    ops.push_back({"round/scheme5_20x4/same_second", [] { return rounds(schemeFive(20), false); }});
    for (std::size_t ai : {0, 36, 270})
        ops.push_back({"round/scheme1_ai/" + std::to_string(ai),
                       [ai] { return rounds(schemeOne(ai), true); }});
    for (std::size_t signals : {0, 20, 270})
        ops.push_back({"round/scheme5_entries/" + std::to_string(4 * signals),
                       [signals] { return rounds(schemeFive(signals), true); }});
    for (int devices : {1, 100, 1000})
        ops.push_back({"round/devices/" + std::to_string(devices),
                       [devices] { return rounds(schemeOne(36, devices), true); }, devices});
    ops.push_back({"report/build_cold", [] {
                       auto meter = std::shared_ptr<ved96>(makeMeter(3));
                       return Op([meter] {
                           meter->jsonData_ = Json::Value();
                           nextRound(*meter);
                           meter->GenJsonData();
                       });
                   }});
    ops.push_back({"report/build_warm", [] {
                       auto meter = std::shared_ptr<ved96>(makeMeter(3));
                       nextRound(*meter);
                       meter->GenJsonData();
                       return Op([meter] {
                           nextRound(*meter);
                           meter->GenJsonData();
                       });
                   }});
    // Codes 801 and 803 within one round: the report is already built.
    for (int code : {801, 803})
        ops.push_back({"control/" + std::to_string(code), [code] {
                           auto meter = std::shared_ptr<ved96>(makeMeter(3));
                           meter->RoundDone();
                           auto out = std::make_shared<std::vector<char>>(64 * 1024);
                           return Op([meter, out, code] {
                               int ret = 0;
                               meter->DeviceIoControl(code, nullptr, 0, out->data(),
                                                      static_cast<int>(out->size()), ret);
                               benchmark::DoNotOptimize(ret);
                           });
                       }});
    ops.push_back({"value/Get_Value", [] {
                       auto meter = std::shared_ptr<ved96>(makeMeter(3));
                       meter->RoundDone();
                       return Op([meter] {
                           try {
                               meter->Get_Value(0, "A相电压");
                           } catch (const std::out_of_range&) {
                           }
                       });
                   }});
    ops.push_back({"cache/LoadFromCache", [] {
                       auto meter = std::shared_ptr<ved96>(makeMeter(1));
                       meter->RoundDone();
                       auto image = std::make_shared<ved96_Data_t>(meter->data_);
                       return Op([meter, image] {
                           ++g_now;
                           meter->LoadFromCache(reinterpret_cast<const unsigned char*>(image.get()),
                                                static_cast<int>(sizeof *image));
                       });
                   }});
    return ops;
}

// ---- Heap figures, reported as counters ------------------------------------

// Heap in use, in bytes, after `make` made and warmed a device (kept alive).
template <typename Make>
double heapOf(Make make) {
    QuietConsole quiet;
    malloc_trim(0);
    const std::size_t before = mallinfo2().uordblks;
    auto meters = make();
    for (auto& m : meters) m->RoundDone();
    return static_cast<double>(mallinfo2().uordblks - before);
}

void heapFigures(benchmark::State& state) {
    for (auto _ : state) {
    }
    reportKeys();  // what a process makes once for all devices is not counted
    state.counters["scheme1_36ai_KiB"] = heapOf([] { return schemeOne(36); }) / 1024;
    state.counters["scheme5_80_KiB"] = heapOf([] { return schemeFive(20); }) / 1024;
    state.counters["no_settings_KiB"] = heapOf([] {
                                            std::vector<std::unique_ptr<ved96>> m;
                                            m.push_back(makeMeter(3));
                                            nextRound(*m.back());
                                            m.back()->GenJsonData();
                                            return m;
                                        }) /
                                        1024;
    // Allocations of one warm build (malloc counted, which operator new uses).
    QuietConsole quiet;
    auto meter = makeMeter(3);
    nextRound(*meter);
    meter->GenJsonData();
    nextRound(*meter);
    const long before = malloc_count::calls;
    meter->GenJsonData();
    state.counters["allocs_per_warm_build"] = static_cast<double>(malloc_count::calls - before);
}

}  // namespace

// The measured region for callgrind (--toggle-collect=bench_measured).
extern "C" __attribute__((noinline)) void bench_measured(const Op& op, long count) {
    for (long i = 0; i < count; ++i) op();
}

int main(int argc, char** argv) {
    const std::vector<Operation> ops = operations();
    if (argc >= 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const auto& op : ops) std::printf("%s %d\n", op.name.c_str(), op.devices);
        return 0;
    }
    if (argc >= 4 && std::strcmp(argv[1], "--run") == 0) {
        for (const auto& op : ops) {
            if (op.name != argv[2]) continue;
            QuietConsole quiet;
            const Op run = op.setup();
            bench_measured([] {}, 0);
            for (int i = 0; i < 3; ++i) run();  // warm
            bench_measured(run, std::atol(argv[3]));
            return 0;
        }
        std::fprintf(stderr, "no operation %s\n", argv[2]);
        return 2;
    }

    for (const auto& op : ops) {
        benchmark::RegisterBenchmark(op.name.c_str(), [op](benchmark::State& state) {
            QuietConsole quiet;
            const Op run = op.setup();
            for (auto _ : state) run();
            if (op.name.rfind("round/devices/", 0) == 0)
                state.counters["per_device"] =
                    benchmark::Counter(op.devices, benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
        });
    }
    benchmark::RegisterBenchmark("heap/figures", heapFigures)->Iterations(1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

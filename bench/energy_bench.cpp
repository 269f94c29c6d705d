// What the energy ledger costs: the CPU of one meter's round through the
// books and the store (a commit every ten rounds, as a 10 s window does at a
// round a second), and the time /api/energy takes to answer ten years of
// days and a year of hours from a database that holds them. Plain timing
// loops, so the same program runs on the target and under qemu.
//
//   energy_bench [DIR]     rows of "name value unit"; DIR for the database
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "energy/energy_api.h"
#include "ved96/signals.h"

namespace {

using namespace vedhost::energy;

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void row(const char* name, double value, const char* unit, const char* note) {
    std::printf("%-34s %12.3f %-3s %s\n", name, value, unit, note);
}

constexpr std::int64_t kStart = 1704067200;  // 2024-01-01T00:00:00Z
constexpr std::int64_t kDay = 86400;

TariffPlan flatPlan() {
    TariffPlan plan;
    plan.currency = "EUR";
    Tariff t;
    t.validFrom = 19700101;
    t.standingPerDay = 0.4;
    Band peak{"peak", 0x1f, 7, 22, 0.32, 0.08}, night{"night", 0x1f, 22, 7, 0.18, 0.05},
        weekend{"weekend", 0x60, 0, 24, 0.2, 0.06};
    t.bands = {peak, night, weekend};
    for (int d = 0; d < 7; ++d)
        for (int h = 0; h < 24; ++h) t.bandAt[d][h] = d >= 5 ? 2 : (h >= 7 && h < 22 ? 0 : 1);
    plan.tariffs.push_back(t);
    return plan;
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path dir =
        argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path();
    const std::string rounds = (dir / ("energy-bench-rounds-" + std::to_string(getpid()))).string();
    const std::string years = (dir / ("energy-bench-years-" + std::to_string(getpid()))).string();
    std::string error;

    // One meter at 15 kW, a round a second: a count every 24 rounds; the
    // books alone, then with the store committing every 60 rounds (vedhost's
    // window of a minute at a round a second).
    for (const bool stored : {false, true}) {
        EnergyStore store;
        if (stored && !store.open(rounds, false, error))
            return std::fprintf(stderr, "%s\n", error.c_str()), 1;
        EnergyRules rules;
        rules.plan = flatPlan();
        EnergySink sink(rules, stored ? &store : nullptr);
        sink.addMeter(1, kStart * 1000);
        const int n = stored ? 20000 : 200000;
        std::vector<unsigned char> record(1009, 0);
        auto put = [&](const char* id, std::uint16_t v) {
            const auto offset = ved96_report::findSignal(id)->offset;
            record[offset] = static_cast<unsigned char>(v & 0xff);
            record[offset + 1] = static_cast<unsigned char>(v >> 8);
        };
        put("active_power_total", 15000);
        put("reactive_power_total", 4000);
        const double before = processCpuSeconds();
        for (int i = 0; i < n; ++i) {
            put("energy_fwd_active", static_cast<std::uint16_t>(60000 + i / 24));
            put("energy_fwd_reactive", static_cast<std::uint16_t>(4000 + i / 90));
            sink.roundRecord(1, (kStart + i) * 1000, record.data(), record.size());
            if (stored && i % 60 == 59) store.flush();
        }
        const double cpu = processCpuSeconds() - before;
        if (stored)
            row("energy/round_cpu_stored", cpu / n * 1e6, "us",
                "the same with a commit every 60 rounds, writer thread included");
        else
            row("energy/round_cpu", cpu / n * 1e6, "us", "ledger, books and demand per round");
    }

    // Ten years of days in three bands and a year of hours, four counters.
    {
        EnergyStore store;
        if (!store.open(years, false, error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
        Changes c;
        const std::int64_t days = 3653;
        for (std::size_t counter = 0; counter < kCounters; ++counter) {
            for (std::int64_t d = 0; d < days; ++d)
                for (const char* band : {"peak", "night", "weekend"})
                    c.days[{1, counter, kStart + d * kDay, band}] = {10.0 + d % 7, 0};
            for (std::int64_t h = (days - 366) * 24; h < days * 24; ++h)
                c.hours[{1, counter, kStart + h * 3600, ""}] = {1.25, 0};
        }
        CounterState s;
        s.known = true;
        s.atMs = (kStart + days * kDay) * 1000;
        c.ledger[{1, 0}] = s;
        store.queue(std::move(c));
        store.flush();
        std::uintmax_t bytes = 0;
        for (const char* suffix : {"", "-wal"}) {
            std::error_code ignored;
            const auto n = std::filesystem::file_size(years + suffix, ignored);
            if (!ignored) bytes += n;
        }
        row("energy/ten_years_file", static_cast<double>(bytes) / (1 << 20), "MiB",
            "ten years of days in three bands and a year of hours, four counters, one meter");
        const std::int64_t now = kStart + days * kDay - 1;
        const struct {
            const char* name;
            const char* period;
            std::int64_t back;
            bool priced;
        } queries[] = {
            {"energy/api_ten_years_of_days", "day", 3653 * kDay, false},
            {"energy/api_ten_years_of_days_cost", "day", 3653 * kDay, true},
            {"energy/api_ten_years_of_months", "month", 3653 * kDay, true},
            {"energy/api_a_year_of_hours", "hour", 366 * kDay, true},
        };
        for (const auto& q : queries) {
            EnergyRules rules;
            if (q.priced) rules.plan = flatPlan();
            EnergySink sink(rules, &store);
            sink.addMeter(1, now * 1000);
            const std::map<std::string, std::string> args = {
                {"data_id", "1"}, {"period", q.period}, {"from", std::to_string(now - q.back)}};
            std::vector<double> ms;
            std::size_t periods = 0;
            for (int i = 0; i < 11; ++i) {
                const auto t0 = std::chrono::steady_clock::now();
                std::string reply;
                energyReply(
                    sink,
                    [&](const char* name) {
                        const auto it = args.find(name);
                        return it == args.end() ? nullptr : it->second.c_str();
                    },
                    now, reply);
                ms.push_back(
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                        .count());
                periods = 0;
                for (auto at = reply.find("\"start\":"); at != std::string::npos;
                     at = reply.find("\"start\":", at + 1))
                    ++periods;
            }
            std::sort(ms.begin(), ms.end());
            const std::string note = std::to_string(periods) + " periods, median of 11" +
                                     (q.priced ? ", priced per band" : "") + " (target <= 50 ms)";
            row(q.name, ms[ms.size() / 2], "ms", note.c_str());
        }
    }
    for (const std::string& base : {rounds, years})
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(base + suffix);
    return 0;
}

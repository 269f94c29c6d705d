// vedhost's history while the wall clock misbehaves, as libfaketime makes it
// (Debian's faketime): the wall clock 20 years ahead for 15 s and back, a day
// back, and a board without a real-time clock that boots in 1970 and is set
// 10 s later. The monotonic clock is left alone (DONT_FAKE_MONOTONIC), as the
// kernel leaves it when the wall clock is stepped. One meter every 0.5 s,
// committed every second, with a tier of 10 s below the minute's so that
// "consolidated within one step" is seconds.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "../support/http_client.h"
#include "processes.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t kYear2000 = 946684800;  // unix seconds
constexpr std::int64_t kYear2040 = 2208988800;

struct Rows {
    std::map<std::int64_t, std::int64_t> full;  // id -> unix ms
    std::vector<std::int64_t> tenSeconds;       // starts of the 10 s tier, oldest first
    std::int64_t minutes = 0;                   // rows of the minute tier
};

Rows readRows(const std::string& path) {
    Rows out;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return out;
    }
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT id, unix_ms FROM history", -1, &stmt, nullptr) == SQLITE_OK)
        while (sqlite3_step(stmt) == SQLITE_ROW)
            out.full[sqlite3_column_int64(stmt, 0)] = sqlite3_column_int64(stmt, 1);
    sqlite3_finalize(stmt);
    if (sqlite3_prepare_v2(db, "SELECT step, start FROM consolidated ORDER BY start", -1, &stmt,
                           nullptr) == SQLITE_OK)
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            if (sqlite3_column_int64(stmt, 0) == 10)
                out.tenSeconds.push_back(sqlite3_column_int64(stmt, 1));
            else
                ++out.minutes;
        }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return out;
}

std::int64_t unixNow() { return static_cast<std::int64_t>(std::time(nullptr)); }

class ClockE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        faketime_ = env("FAKETIME_LIB", VED_FAKETIME_LIB);
        if (!std::filesystem::exists(faketime_))
            GTEST_SKIP() << "libfaketime not found at " << faketime_
                         << " (Debian package faketime; FAKETIME_LIB names another)";
        sim_ = std::make_unique<Child>(
            std::vector<std::string>{env("VED96_SIM", VED96_SIM_PATH), "--tcp", "127.0.0.1:0"},
            dir_ / "sim.out", dir_ / "sim.err", dir_.path().string());
        ASSERT_TRUE(eventually([&] {
            const auto lines = readLines(dir_ / "sim.out");
            if (lines.empty()) return false;
            where_ = lines[0].substr(lines[0].find(' ') + 1);
            return true;
        })) << readText(dir_ / "sim.err");
    }

    // The wall clock vedhost reads: its offset from the real one, as
    // libfaketime takes it ("+20y", "-1d", "-1796000000" seconds).
    // libfaketime reads the file at every clock reading: it is replaced
    // whole, never seen half written.
    void setClock(const std::string& offset) {
        dir_.write("faketime.new", offset + "\n");
        std::filesystem::rename(dir_ / "faketime.new", dir_ / "faketime");
    }

    void startHost(const std::string& offset) {
        setClock(offset);
        const std::string config =
            dir_.write("vedhost.json", R"({"lines": [{"tcp": ")" + where_ + R"(", "meters": [{}]}],
                "history": {"path": "history.db", "commit_seconds": 1,
                "tiers": [{"name": "10s", "step": "10s", "span": "1d"},
                          {"name": "1m", "step": "1m", "span": "7d"}]}})");
        std::string asan = env("ASAN_OPTIONS");
        host_ = std::make_unique<Child>(
            std::vector<std::string>{env("VEDHOST", VEDHOST_PATH), "--config", config, "--interval",
                                     "0.5", "--plugin-log", "/dev/null", "--http", "127.0.0.1:0"},
            dir_ / "host.out", dir_ / "host.err", dir_.path().string(),
            std::vector<std::string>{
                "LD_PRELOAD=" + faketime_, "FAKETIME_TIMESTAMP_FILE=" + (dir_ / "faketime"),
                "FAKETIME_NO_CACHE=1", "DONT_FAKE_MONOTONIC=1",
                // An AddressSanitizer build has its runtime first; libfaketime goes before it.
                "ASAN_OPTIONS=" + (asan.empty() ? "" : asan + ":") + "verify_asan_link_order=0"});
        const std::string mark = "web view on http://127.0.0.1:";
        ASSERT_TRUE(eventually(
            [&] {
                const std::string err = readText(dir_ / "host.err");
                if (!host_->running()) return true;  // and fails below
                const auto at = err.find(mark);
                if (at == std::string::npos || err.find("/\n", at) == std::string::npos)
                    return false;
                port_ = std::stoi(err.substr(at + mark.size()));
                return true;
            },
            30000ms))
            << readText(dir_ / "host.err");
        ASSERT_TRUE(host_->running()) << readText(dir_ / "host.err");
    }

    Rows rows() { return readRows(dir_ / "history.db"); }

    // The age of the meter's last round as the API shows it; -1 before one.
    long age() {
        const testhttp::Response r = testhttp::get(port_, "/api/meters/1");
        const Json::Value m = r.status == 200 ? parseJson(r.body) : Json::Value();
        return m.isMember("age_seconds") ? m["age_seconds"].asInt64() : -1;
    }
    void expectSaneAge(const char* when) {
        const long a = age();
        EXPECT_GE(a, 0) << when;
        EXPECT_LE(a, 10) << when;
    }

    std::string stop() {
        host_->signal(SIGTERM);
        EXPECT_EQ(host_->wait(20000ms), 0);
        return readText(dir_ / "host.err");
    }

    Scratch dir_;
    std::string faketime_, where_;
    std::unique_ptr<Child> sim_, host_;
    int port_ = 0;
};

TEST_F(ClockE2E, TwentyYearsAheadForFifteenSecondsLosesNoRowAndStopsNoTier) {
    startHost("+0");
    ASSERT_TRUE(eventually(
        [&] { return rows().tenSeconds.size() >= 1 && rows().full.size() >= 20; }, 60000ms))
        << readText(dir_ / "host.err");
    const Rows before = rows();
    setClock("+20y");
    std::this_thread::sleep_for(15s);
    expectSaneAge("twenty years ahead");
    setClock("+0");
    const std::int64_t back = unixNow();
    // The 10 s tier consolidates the rounds since within one step (and a
    // commit, and some slack for a slow build).
    EXPECT_TRUE(eventually(
        [&] {
            const Rows now = rows();
            return !now.tenSeconds.empty() && now.tenSeconds.back() >= back;
        },
        30000ms))
        << readText(dir_ / "host.err");
    expectSaneAge("back");
    const std::string err = stop();
    const Rows after = rows();
    std::printf("full rows %zu -> %zu, 10 s tier %zu -> %zu, 1 min tier %lld -> %lld\n",
                before.full.size(), after.full.size(), before.tenSeconds.size(),
                after.tenSeconds.size(), static_cast<long long>(before.minutes),
                static_cast<long long>(after.minutes));
    for (const auto& [id, ms] : before.full) {
        const auto it = after.full.find(id);
        ASSERT_NE(it, after.full.end()) << "row " << id << " of " << ms << " lost";
        EXPECT_EQ(it->second, ms);
    }
    for (std::int64_t start : before.tenSeconds)
        EXPECT_TRUE(std::count(after.tenSeconds.begin(), after.tenSeconds.end(), start))
            << "tier row of " << start << " lost";
    // The rounds of the quarter minute were stored, none stamped 2046.
    EXPECT_GE(after.full.size(), before.full.size() + 30);
    for (const auto& [id, ms] : after.full) EXPECT_LT(ms / 1000, kYear2040) << "row " << id;
    for (std::int64_t start : after.tenSeconds) EXPECT_LT(start, kYear2040);
    EXPECT_EQ(countOf(err, "vedhost: clock: the wall clock stepped "), 2u) << err;
    EXPECT_EQ(countOf(err, "days forward, to 204"), 1u) << err;
    EXPECT_EQ(countOf(err, "days back, to "), 1u) << err;
    std::printf("%s", err.c_str());
}

TEST_F(ClockE2E, ADayBackGoesOnStoringAndConsolidating) {
    startHost("+0");
    ASSERT_TRUE(eventually(
        [&] { return rows().tenSeconds.size() >= 1 && rows().full.size() >= 20; }, 60000ms))
        << readText(dir_ / "host.err");
    const Rows before = rows();
    setClock("-1d");
    // Rounds are stored, and the tier made of them, while the clock is back.
    EXPECT_TRUE(eventually(
        [&] {
            const Rows now = rows();
            return now.full.size() >= before.full.size() + 40 &&
                   now.tenSeconds.size() >= before.tenSeconds.size() + 2;
        },
        40000ms))
        << readText(dir_ / "host.err");
    expectSaneAge("a day back");
    setClock("+0");
    const std::string err = stop();
    const Rows after = rows();
    std::printf("full rows %zu -> %zu, 10 s tier %zu -> %zu\n", before.full.size(),
                after.full.size(), before.tenSeconds.size(), after.tenSeconds.size());
    for (const auto& [id, ms] : before.full) EXPECT_EQ(after.full.count(id), 1u) << id;
    EXPECT_EQ(countOf(err, "vedhost: clock: the wall clock stepped 24 h back"), 1u) << err;
}

TEST_F(ClockE2E, ABoardThatBootsIn1970StoresNothingUntilItsClockIsSet) {
    // 1970-01-01, five seconds after midnight UTC.
    startHost("-" + std::to_string(unixNow() - 5));
    ASSERT_TRUE(eventually([&] { return age() >= 0; }, 30000ms)) << readText(dir_ / "host.err");
    std::this_thread::sleep_for(5s);
    expectSaneAge("in 1970");
    EXPECT_TRUE(rows().full.empty());
    setClock("+0");
    ASSERT_TRUE(eventually([&] { return rows().full.size() >= 10; }, 30000ms))
        << readText(dir_ / "host.err");
    expectSaneAge("set");
    const std::string err = stop();
    const Rows after = rows();
    std::printf("full rows after the clock was set: %zu, 10 s tier: %zu\n", after.full.size(),
                after.tenSeconds.size());
    for (const auto& [id, ms] : after.full) EXPECT_GT(ms / 1000, kYear2000) << "row " << id;
    for (std::int64_t start : after.tenSeconds) EXPECT_GT(start, kYear2000);
    EXPECT_EQ(countOf(err, "vedhost: history: the clock reads 1970-01-01T"), 1u) << err;
    EXPECT_EQ(countOf(err, "rounds are not stored until it is set"), 1u) << err;
    EXPECT_EQ(countOf(err, "vedhost: history: the clock is set; storing rounds from "), 1u) << err;
    // --info says nothing of 1970.
    Child info({env("VEDHOST", VEDHOST_PATH), "history", dir_ / "history.db", "--info"},
               dir_ / "info.out", dir_ / "info.err", dir_.path().string());
    EXPECT_EQ(info.wait(20000ms), 0);
    const std::string shown = readText(dir_ / "info.out");
    EXPECT_EQ(shown.find("1970"), std::string::npos) << shown;
    std::printf("%s%s", err.c_str(), shown.c_str());
}

}  // namespace

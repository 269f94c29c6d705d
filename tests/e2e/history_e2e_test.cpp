// vedhost's history against what a controller meets: the process killed at
// any moment, and a disk that fills up. Real processes, real SQLite files, a
// real full file system (a small tmpfs; mounting it needs root, as in CI).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "processes.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

// Rows of the history by the local time text they were stored with.
struct Stored {
    std::string integrity;
    std::map<std::int64_t, std::string> byId;  // id -> time
};

Stored readStore(const std::string& path) {
    Stored out;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return out;
    }
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        out.integrity = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    if (sqlite3_prepare_v2(db, "SELECT id, time FROM history", -1, &stmt, nullptr) == SQLITE_OK)
        while (sqlite3_step(stmt) == SQLITE_ROW)
            out.byId[sqlite3_column_int64(stmt, 0)] =
                reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return out;
}

// Local time text "2024-03-07T09:05:02.123" as seconds on one running scale
// (the date counted too, so a run over midnight still compares right).
double secondsOf(const std::string& time) {
    std::tm tm{};
    double s = 0;
    if (std::sscanf(time.c_str(), "%d-%d-%dT%d:%d:%lf", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &s) != 6)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<double>(timegm(&tm)) + s;
}

// A moment of this clock on the same scale, as the host writes it in local
// time.
double secondsOf(std::chrono::system_clock::time_point when) {
    const std::time_t whole = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    localtime_r(&whole, &tm);
    const double fraction =
        std::chrono::duration<double>(when - std::chrono::system_clock::from_time_t(whole)).count();
    return static_cast<double>(timegm(&tm)) + fraction;
}

// Room left for files on the file system that holds `path`.
std::uint64_t freeBytes(const std::string& path) {
    struct statvfs fs {};
    if (statvfs(path.c_str(), &fs) != 0) return ~std::uint64_t{0};
    return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
}

class HistoryE2E : public ::testing::Test {
  protected:
    void SetUp() override {
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

    std::unique_ptr<Child> startHost(const std::string& db, double commitSeconds,
                                     const std::string& name, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {env("VEDHOST", VEDHOST_PATH),
                                         "--tcp",
                                         where_,
                                         "--interval",
                                         "0.02",
                                         "--history",
                                         db,
                                         "--history-commit-seconds",
                                         std::to_string(commitSeconds),
                                         "--plugin-log",
                                         "/dev/null"};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Child>(args, dir_ / (name + ".out"), dir_ / (name + ".err"),
                                       dir_.path().string());
    }

    Scratch dir_;
    std::unique_ptr<Child> sim_;
    std::string where_;
};

// The rounds a run saved (its event log), without the cached record it
// played back at start.
std::vector<std::string> savedTimes(const std::string& events) {
    std::vector<std::string> out;
    for (const auto& line : readLines(events)) {
        if (line.find("\"event\":\"SaveDeviceHistory\"") == std::string::npos ||
            line.find("\"replay\":true") != std::string::npos)
            continue;
        const Json::Value e = parseJson(line);  // a line cut by the kill does not parse
        if (e.isObject() && e["time"].isString()) out.push_back(e["time"].asString());
    }
    return out;
}

TEST_F(HistoryE2E, KilledAtRandomMomentsLosesNoCommittedRoundAndAtMostOneWindow) {
    const std::string db = dir_ / "history.db";
    constexpr double kWindow = 0.2;
    // A commit late by load is still the same window; beyond this a round
    // was lost that a commit should have kept.
    constexpr double kLate = 1.5;
    // Most kills come after the first save, anywhere up to twenty windows in,
    // so that many rounds are older than a window and its margin when the
    // host dies; every fourth comes early, while the store may be starting.
    constexpr unsigned kLatestKillMs = 4000, kEarlyKillMs = 600;
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    Stored before;
    std::size_t lostRounds = 0, savedRounds = 0, dueRounds = 0;
    const int kills = 100;
    for (int run = 0; run < kills; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const std::string events = dir_ / ("events" + std::to_string(run) + ".jsonl");
        auto host = startHost(db, kWindow, "host", {"--events", events});
        if (run % 4 != 0) {
            ASSERT_TRUE(eventually([&] { return !savedTimes(events).empty(); }, 20000ms))
                << readText(dir_ / "host.err");
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % kLatestKillMs));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % kEarlyKillMs));
        }
        const double killedAt = secondsOf(std::chrono::system_clock::now());
        host->signal(SIGKILL);
        ASSERT_TRUE(host->wait(10000ms).has_value());

        const Stored now = readStore(db);
        if (std::filesystem::exists(db)) {
            ASSERT_EQ(now.integrity, "ok");
        }
        // Every row a commit had made is still there, unchanged.
        for (const auto& [id, time] : before.byId) {
            const auto it = now.byId.find(id);
            ASSERT_NE(it, now.byId.end()) << "lost committed row " << id << " of " << time;
            ASSERT_EQ(it->second, time);
        }
        // Of this run's rounds, only those of its last window may be gone:
        // each saved more than a window and its margin before the kill is
        // stored.
        std::set<std::string> stored;
        for (const auto& [id, time] : now.byId) stored.insert(time);
        const auto saved = savedTimes(events);
        savedRounds += saved.size();
        for (const std::string& time : saved) {
            const double age = killedAt - secondsOf(time);
            const bool due = age > kWindow + kLate;
            dueRounds += due;
            if (stored.count(time) != 0) continue;
            ++lostRounds;
            EXPECT_FALSE(due) << "lost round of " << time << ", saved " << age
                              << " s before the kill";
        }
        before = now;
    }
    std::printf(
        "%d kills: %zu rounds saved, %zu due to be stored, %zu lost (each of a last"
        " window), %zu rows\n",
        kills, savedRounds, dueRounds, lostRounds, before.byId.size());
    // A store that never commits, or commits only when asked to stop, keeps
    // no row and loses every round.
    EXPECT_GT(before.byId.size(), 0u) << "no row was ever stored";
    EXPECT_GT(dueRounds, 0u) << "no kill came late enough to require a stored round";
    EXPECT_LT(lostRounds, savedRounds);
}

// Unmounts the tmpfs whatever way the test ends.
class SmallDisk {
  public:
    explicit SmallDisk(const std::string& path, const char* size) : path_(path) {
        std::filesystem::create_directories(path);
        mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, size) == 0;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

  private:
    std::string path_;
    bool mounted_ = false;
};

TEST_F(HistoryE2E, FullDiskStopsOnlyStoringWhichResumesByItself) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string small = dir_ / "small";
    SmallDisk disk(small, "size=6m");
    ASSERT_TRUE(disk.mounted()) << "mount tmpfs: " << std::strerror(errno);
    const std::string db = small + "/history.db";
    auto host =
        startHost(db, 0.2, "host", {"--history-max-mb", "16", "--report", dir_ / "report.jsonl"});
    auto rows = [&] { return readStore(db).byId.size(); };
    auto reports = [&] { return readLines(dir_ / "report.jsonl").size(); };
    ASSERT_TRUE(eventually([&] { return rows() >= 20; }, 20000ms)) << readText(dir_ / "host.err");

    // Everything left on the disk goes to a filler file, written until the
    // disk refuses; what it leaves cannot take a page of the next commit, so
    // that commit fails for certain.
    const std::string filler = small + "/filler";
    {
        const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        const std::string block(64 * 1024, 'x');
        for (std::size_t size = block.size(); size >= 512;) {
            if (::write(fd, block.data(), size) < 0) size /= 2;
        }
        ::close(fd);
    }
    constexpr std::uint64_t kPage = 4096;
    ASSERT_LT(freeBytes(small), kPage) << "the filler left room on the disk";
    // Nor can the next commit go where the write-ahead log has been before:
    // the log never shrinks, and a checkpoint that lets it start over comes
    // only once it passes 512 KiB (a 32nd of the 16 MiB cap; a slow build
    // reaches 20 rows in a few commits of some 25 KiB each), so below that
    // every commit still lengthens it.
    std::error_code noWal;
    const auto walBytes = std::filesystem::file_size(db + "-wal", noWal);
    ASSERT_FALSE(noWal) << noWal.message();
    ASSERT_LT(walBytes, 512u * 1024) << "the log was checkpointed before the disk was full";
    // Storing stops; polling and the report go on; the history keeps the
    // newest rounds by making room inside its file.
    ASSERT_TRUE(eventually(
        [&] { return countOf(readText(dir_ / "host.err"), "history: storing stopped") > 0; },
        30000ms))
        << readText(dir_ / "host.err");
    const std::size_t atFull = reports();
    ASSERT_TRUE(eventually([&] { return reports() >= atFull + 100; }, 30000ms));
    const auto newestAt = [&] {
        const Stored s = readStore(db);
        return s.byId.empty() ? std::string() : s.byId.rbegin()->second;
    };
    const std::string whileFull = newestAt();
    std::remove(filler.c_str());
    ASSERT_TRUE(eventually([&] { return newestAt() > whileFull; }, 30000ms))
        << readText(dir_ / "host.err");

    host->signal(SIGTERM);
    EXPECT_EQ(host->wait(20000ms), 0) << readText(dir_ / "host.err");
    const std::string err = readText(dir_ / "host.err");
    // Said once each way; never once per round.
    const std::size_t stops = countOf(err, "history: storing stopped");
    EXPECT_EQ(stops, 1u) << err;
    EXPECT_EQ(countOf(err, "history: storing again;"), 1u) << err;
    EXPECT_EQ(readStore(db).integrity, "ok");
    std::printf("full disk, the log at %ju bytes: %zu stop line(s)\n%s",
                static_cast<std::uintmax_t>(walBytes), stops, err.c_str());
}

}  // namespace

// vedhost's history against what a controller meets: the process killed at
// any moment, and a disk that fills up. Real processes, real SQLite files, a
// real full file system (a small tmpfs; mounting it needs root, as in CI).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../support/http_client.h"
#include "notify_socket.h"
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
                                     const std::string& name, std::vector<std::string> extra = {},
                                     double interval = 0.02,
                                     const std::vector<std::string>& environment = {}) {
        std::vector<std::string> args = {
            env("VEDHOST", VEDHOST_PATH),  "--tcp",        where_,     "--interval",
            std::to_string(interval),      "--history",    db,         "--history-commit-seconds",
            std::to_string(commitSeconds), "--plugin-log", "/dev/null"};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Child>(args, dir_ / (name + ".out"), dir_ / (name + ".err"),
                                       dir_.path().string(), environment);
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
        // A line cut by the kill does not parse, and was never a saved round.
        Json::Value e;
        if (Json::Reader().parse(line, e) && e.isObject() && e["time"].isString())
            out.push_back(e["time"].asString());
    }
    return out;
}

// How a run is killed, by its number: a quarter anywhere from the start (the
// schema half made, the cache not yet read), a quarter in the first commit
// windows after the first save, half several windows later, when every round
// but those of the last window and its margin must be in the store.
struct KillMoment {
    bool afterFirstSave;
    int fromMs, toMs;  // after the start or after the first save
};

TEST_F(HistoryE2E, KilledAtRandomMomentsLosesNoCommittedRoundAndAtMostOneWindow) {
    const std::string db = dir_ / "history.db";
    constexpr int kWindowMs = 200;
    // A commit late by load (the writer woken late, a slow fdatasync) is
    // still the same window; a round saved longer ago than the window and
    // this margin was lost by a commit that should have kept it.
    constexpr int kMarginMs = 600;
    constexpr int kKeptMs = kWindowMs + kMarginMs;
    const KillMoment moments[] = {
        {false, 0, 600},
        {true, 0, 600},
        {true, kKeptMs, kKeptMs + 4 * kWindowMs},
        {true, kKeptMs, kKeptMs + 4 * kWindowMs},
    };
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    Stored before;
    std::size_t lostRounds = 0, savedRounds = 0, keptRounds = 0;
    std::int64_t oldestLostMs = 0;  // the most a lost round was saved before its kill
    const int kills = 100;
    for (int run = 0; run < kills; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const KillMoment& moment = moments[run % std::size(moments)];
        const std::string events = dir_ / ("events" + std::to_string(run) + ".jsonl");
        auto host = startHost(db, kWindowMs / 1000.0, "host", {"--events", events});
        if (moment.afterFirstSave) {
            ASSERT_TRUE(eventually([&] { return !savedTimes(events).empty(); }, 20000ms))
                << readText(dir_ / "host.err");
        }
        std::uniform_int_distribution<int> delay(moment.fromMs, moment.toMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
        const std::int64_t killedAt = nowUnixMs();
        host->signal(SIGKILL);
        ASSERT_TRUE(host->wait(10000ms).has_value());

        // The rounds this run saved, and those saved long enough before the
        // kill that a commit must have kept them.
        const auto saved = savedTimes(events);
        savedRounds += saved.size();
        std::size_t due = 0;
        for (const std::string& time : saved) due += localTextMs(time) < killedAt - kKeptMs;
        const Stored now = readStore(db);
        if (now.byId.empty() && before.byId.empty() && due == 0) continue;  // before the schema
        ASSERT_EQ(now.integrity, "ok");
        // Every row a commit had made is still there, unchanged.
        for (const auto& [id, time] : before.byId) {
            const auto it = now.byId.find(id);
            ASSERT_NE(it, now.byId.end()) << "lost committed row " << id << " of " << time;
            ASSERT_EQ(it->second, time);
        }
        // Of this run's rounds, only those of its last window may be gone.
        std::set<std::string> stored;
        for (const auto& [id, time] : now.byId) stored.insert(time);
        std::size_t lostDue = 0;
        std::string oldestLost;
        for (const std::string& time : saved) {
            const std::int64_t age = killedAt - localTextMs(time);
            if (stored.count(time) != 0) {
                keptRounds += age > kKeptMs;
                continue;
            }
            ++lostRounds;
            oldestLostMs = std::max(oldestLostMs, age);
            if (age > kKeptMs && lostDue++ == 0)
                oldestLost = time + ", saved " + std::to_string(age) + " ms before the kill";
        }
        ASSERT_EQ(lostDue, 0u) << "of " << due << " rounds saved more than " << kKeptMs
                               << " ms before the kill, " << lostDue << " not stored, the oldest "
                               << oldestLost;
        before = now;
    }
    std::printf(
        "%d kills: %zu rounds saved, %zu lost (the oldest %lld ms before its kill), %zu kept"
        " that were saved more than %d ms before theirs, %zu rows\n",
        kills, savedRounds, lostRounds, static_cast<long long>(oldestLostMs), keptRounds, kKeptMs,
        before.byId.size());
    // A store that never commits, or commits only when asked to stop, keeps
    // nothing of a kill -9 and loses every round.
    EXPECT_GT(before.byId.size(), 0u);
    EXPECT_GT(keptRounds, 0u);
    EXPECT_LT(lostRounds, savedRounds);
}

// Unmounts the tmpfs whatever way the test ends.
// What the host shows of itself: /metrics, the service's status and the
// problems the page lists.
struct Shown {
    std::string metrics, status, problems;
};
Shown shown(const std::string& err, NotifySocket& notify) {
    Shown out;
    const std::string mark = "web view on http://127.0.0.1:";
    const auto at = err.find(mark);
    const int port = at == std::string::npos ? 0 : std::stoi(err.substr(at + mark.size()));
    EXPECT_GT(port, 0) << err;
    out.metrics = testhttp::get(port, "/metrics").body;
    out.problems = parseJson(testhttp::get(port, "/api/health").body)["problems"].toStyledString();
    // The status is sent within a tenth of a second of a change.
    eventually([&] { return notify.status().find(';') != std::string::npos; }, 5000ms);
    out.status = notify.status();
    return out;
}

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

// Bytes a process may still write under `dir`.
std::uint64_t freeBytes(const std::string& dir) {
    struct statvfs fs {};
    if (::statvfs(dir.c_str(), &fs) != 0) return 0;
    return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
}

TEST_F(HistoryE2E, FullDiskStopsOnlyStoringWhichResumesByItself) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string small = dir_ / "small";
    SmallDisk disk(small, "size=3m");
    ASSERT_TRUE(disk.mounted()) << "mount tmpfs: " << std::strerror(errno);
    const std::string db = small + "/history.db";
    const std::vector<std::string> capped = {"--history-max-mb", "4"};
    auto withoutStore = [&] {
        for (const char* file : {"", "-wal", "-shm"}) std::filesystem::remove(db + file);
    };

    // What opening a new store takes of the disk (its schema in the WAL, the
    // WAL index), from a host that commits nothing for an hour; then gone.
    const std::uint64_t empty = freeBytes(small);
    std::uint64_t opened = 0;
    {
        std::vector<std::string> extra = capped;
        extra.insert(extra.end(), {"--events", dir_ / "probe.jsonl"});
        auto probe = startHost(db, 3600, "probe", extra, 1);
        ASSERT_TRUE(eventually([&] { return !savedTimes(dir_ / "probe.jsonl").empty(); }, 20000ms))
            << readText(dir_ / "probe.err");
        opened = empty - freeBytes(small);
        probe->signal(SIGKILL);
        ASSERT_TRUE(probe->wait(10000ms).has_value());
        withoutStore();
    }
    ASSERT_EQ(freeBytes(small), empty);
    ASSERT_GT(opened, 0u);

    // A filler leaves the disk exactly that: the host opens its store and has
    // no room left for a commit, which writes at least one page and its frame
    // header to the WAL, more than the rest of the WAL's last disk page holds.
    const std::string filler = small + "/filler";
    {
        std::ofstream out(filler, std::ios::binary);
        const std::string block(64 * 1024, 'x');
        for (std::uint64_t left = empty - opened; left > 0;) {
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
            ASSERT_TRUE(out.write(block.data(), n)) << "filler: " << left << " bytes short";
            left -= n;
        }
    }
    ASSERT_EQ(freeBytes(small), opened) << "the filler left " << freeBytes(small)
                                        << " bytes, the store takes " << opened << " to open";

    std::vector<std::string> extra = capped;
    extra.insert(extra.end(), {"--report", dir_ / "report.jsonl", "--http", "127.0.0.1:0"});
    NotifySocket notify(dir_ / "notify.sock");
    auto host = startHost(db, 0.2, "host", extra, 0.02, {"NOTIFY_SOCKET=" + notify.path()});
    auto rows = [&] { return readStore(db).byId.size(); };
    auto reports = [&] { return readLines(dir_ / "report.jsonl").size(); };
    auto err = [&] { return readText(dir_ / "host.err"); };
    ASSERT_TRUE(eventually([&] { return countOf(err(), "history: storing stopped") > 0; }, 20000ms))
        << "storing never said it stopped on a full disk\n"
        << err();
    // Polling and the report go on; nothing is stored while the disk is full.
    const std::size_t atFull = reports();
    ASSERT_TRUE(eventually([&] { return reports() >= atFull + 100; }, 30000ms));
    EXPECT_EQ(rows(), 0u);
    EXPECT_EQ(countOf(err(), "history: storing again;"), 0u) << err();
    // And it shows: /metrics, the service's status and the page's problems.
    const Shown full = shown(err(), notify);
    EXPECT_NE(full.metrics.find("ved96_history_writable 0\n"), std::string::npos) << full.metrics;
    EXPECT_NE(full.metrics.find("ved96_history_rounds_not_stored_total "), std::string::npos);
    EXPECT_EQ(full.status, "1 of 1 meter answering; history disk full");
    EXPECT_NE(full.problems.find("history disk full since "), std::string::npos) << full.problems;

    // Room again: storing resumes by itself, with the rounds lost counted.
    std::filesystem::remove(filler);
    ASSERT_TRUE(eventually([&] { return rows() >= 20; }, 30000ms)) << err();
    EXPECT_TRUE(eventually([&] { return notify.status() == "1 of 1 meter answering"; }, 10000ms))
        << notify.status();
    const Shown resumed = shown(err(), notify);
    EXPECT_NE(resumed.metrics.find("ved96_history_writable 1\n"), std::string::npos)
        << resumed.metrics;
    EXPECT_EQ(resumed.problems.find("history"), std::string::npos) << resumed.problems;
    host->signal(SIGTERM);
    EXPECT_EQ(host->wait(20000ms), 0) << err();
    const std::string text = err();
    // Said once each way; never once per round.
    EXPECT_EQ(countOf(text, "history: storing stopped: database or disk is full\n"), 1u) << text;
    EXPECT_EQ(countOf(text, "history: storing stopped"), 1u) << text;
    EXPECT_EQ(countOf(text, "history: storing again;"), 1u) << text;
    const auto again = text.find("history: storing again; ");
    long lost = 0;
    if (again != std::string::npos)
        lost = std::strtol(text.c_str() + again + std::strlen("history: storing again; "), nullptr,
                           10);
    EXPECT_GE(lost, 100) << "the rounds of the full disk are not all counted as lost\n" << text;
    EXPECT_EQ(readStore(db).integrity, "ok");
    std::printf("full disk: %llu bytes left to a store that takes them all to open\n%s",
                static_cast<unsigned long long>(opened), text.c_str());
}

// A scalar of the history file, read with a connection of the test's own;
// -1 when the file does not read.
std::int64_t storedNumber(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    std::int64_t out = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            out = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return out;
}

// Fills what is left of the disk under `dir`, to the last byte it takes.
bool fillDisk(const std::string& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const std::string block(64 * 1024, 'x');
    for (std::size_t size = block.size(); size > 0; size /= 2)
        while (::write(fd, block.data(), size) == static_cast<ssize_t>(size)) {
        }
    ::close(fd);
    return errno == ENOSPC;
}

// A controller restarted (a reboot, the watchdog) on a disk that filled up
// while it was down: the host starts all the same, polls and shows the
// history stopped, and stores again once there is room, without a restart.
TEST_F(HistoryE2E, FullAtStartPollsAndStoresOnceTheDiskHasRoom) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string small = dir_ / "small";
    SmallDisk disk(small, "size=3m");
    ASSERT_TRUE(disk.mounted()) << "mount tmpfs: " << std::strerror(errno);
    const std::string db = small + "/history.db";
    // The history with its supply-quality and energy tables beside it.
    const std::vector<std::string> rooms = {"--history-max-mb", "4", "--quality-nominal-v", "230",
                                            "--energy"};
    auto err = [&](const std::string& name) { return readText(dir_ / (name + ".err")); };
    auto rows = [&] { return readStore(db).byId.size(); };
    const char* const ledgerNewest = "SELECT max(at_ms) FROM energy_ledger";

    // The history as the last run left it, stopped cleanly.
    {
        auto first = startHost(db, 0.2, "first", rooms);
        ASSERT_TRUE(eventually([&] { return rows() >= 10; }, 30000ms)) << err("first");
        first->signal(SIGTERM);
        ASSERT_EQ(first->wait(20000ms), 0) << err("first");
    }
    const Stored before = readStore(db);
    const std::int64_t ledgerBefore = storedNumber(db, ledgerNewest);
    const char* const ledgerTotal = "SELECT sum(total) FROM energy_ledger";
    const std::int64_t totalBefore = storedNumber(db, ledgerTotal);
    ASSERT_GT(ledgerBefore, 0) << "the first run kept no energy ledger";
    const std::string filler = small + "/filler";
    ASSERT_TRUE(fillDisk(filler)) << std::strerror(errno);
    ASSERT_LT(freeBytes(small), 4096u);

    std::vector<std::string> extra = rooms;
    extra.insert(extra.end(), {"--report", dir_ / "report.jsonl", "--http", "127.0.0.1:0"});
    NotifySocket notify(dir_ / "notify.sock");
    auto host = startHost(db, 0.2, "host", extra, 0.02, {"NOTIFY_SOCKET=" + notify.path()});
    auto reports = [&] { return readLines(dir_ / "report.jsonl").size(); };
    ASSERT_TRUE(eventually(
        [&] { return countOf(err("host"), "history: storing stopped") > 0 || !host->running(); },
        20000ms))
        << err("host");
    ASSERT_TRUE(host->running()) << "the host did not start on a disk full at start\n"
                                 << err("host");
    // It polls and reports, and shows the history stopped.
    ASSERT_TRUE(eventually([&] { return reports() >= 100; }, 30000ms))
        << "no rounds on a disk full at start; running: " << host->running() << "\n"
        << err("host");
    const Shown full = shown(err("host"), notify);
    EXPECT_NE(full.metrics.find("ved96_history_writable 0\n"), std::string::npos) << full.metrics;
    EXPECT_NE(full.metrics.find("ved96_meter_up{meter=\"1\"} 1\n"), std::string::npos)
        << full.metrics;
    EXPECT_EQ(full.status, "1 of 1 meter answering; history disk full");
    EXPECT_NE(full.problems.find("history disk full since "), std::string::npos) << full.problems;
    EXPECT_EQ(countOf(err("host"), "history: storing again;"), 0u) << err("host");

    // Room again: the file is opened and stored to, with the host running on.
    std::filesystem::remove(filler);
    const std::int64_t roomAtMs = nowUnixMs();
    ASSERT_TRUE(
        eventually([&] { return countOf(err("host"), "history: storing again; ") > 0; }, 30000ms))
        << err("host");
    ASSERT_TRUE(eventually([&] { return rows() >= before.byId.size() + 20; }, 30000ms))
        << err("host");
    EXPECT_TRUE(eventually([&] { return notify.status() == "1 of 1 meter answering"; }, 10000ms))
        << notify.status();
    const Shown resumed = shown(err("host"), notify);
    EXPECT_NE(resumed.metrics.find("ved96_history_writable 1\n"), std::string::npos)
        << resumed.metrics;
    host->signal(SIGTERM);
    EXPECT_EQ(host->wait(20000ms), 0) << err("host");

    const std::string text = err("host");
    // One line each way, for the history and its neighbours together.
    EXPECT_EQ(countOf(text, "storing stopped"), 1u) << text;
    EXPECT_EQ(countOf(text, "history: storing again;"), 1u) << text;
    // What the first run stored is all there; the energy books went on
    // from it and were stored once the file opened.
    const Stored after = readStore(db);
    EXPECT_EQ(after.integrity, "ok");
    for (const auto& [id, time] : before.byId)
        EXPECT_EQ(after.byId.count(id), 1u) << "lost row " << id << " of " << time;
    EXPECT_GE(storedNumber(db, ledgerNewest), roomAtMs) << text;
    EXPECT_GE(storedNumber(db, ledgerTotal), totalBefore) << "the ledger's totals went back";
    std::printf("disk full at start:\n%s", text.c_str());
}

// An ext4 file system on a loop device, made and mounted for the test and
// gone with it. Mounted with errors=remount-ro, as a controller's data
// partition is: the first I/O error leaves it read-only.
class LoopDisk {
  public:
    LoopDisk(const Scratch& dir, const std::string& mountPoint) : mount_(mountPoint) {
        const std::string image = dir / "disk.img";
        std::filesystem::create_directories(mountPoint);
        std::ofstream(image, std::ios::binary).close();
        std::filesystem::resize_file(image, 32u << 20);
        const std::string attach = dir / "losetup.out";
        if (std::system(("losetup -f --show " + image + " >" + attach + " 2>&1").c_str()) != 0) {
            why_ = "losetup: " + readText(attach);
            return;
        }
        device_ = readLines(attach).empty() ? "" : readLines(attach)[0];
        if (std::system(("mkfs.ext4 -q " + device_ + " >/dev/null 2>&1").c_str()) != 0 ||
            std::system(("mount -t ext4 -o errors=remount-ro " + device_ + " " + mountPoint +
                         " >/dev/null 2>&1")
                            .c_str()) != 0) {
            why_ = "cannot make and mount ext4 on " + device_;
            return;
        }
        mounted_ = true;
        trigger_ = "/sys/fs/ext4/" + std::filesystem::path(device_).filename().string() +
                   "/trigger_fs_error";
    }
    ~LoopDisk() {
        if (mounted_) ::umount2(mount_.c_str(), MNT_DETACH);
        if (!device_.empty()) (void)std::system(("losetup -d " + device_).c_str());
    }
    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }
    // The kernel's way to make the file system meet an error (CONFIG_EXT4_DEBUG).
    bool canFail() const { return std::filesystem::exists(trigger_); }
    void fail() const { std::ofstream(trigger_) << "vedhost test: an I/O error\n"; }

  private:
    std::string mount_, device_, trigger_, why_;
    bool mounted_ = false;
};

TEST_F(HistoryE2E, AnIoErrorIsReportedShownAndPollingGoesOn) {
    if (geteuid() != 0) GTEST_SKIP() << "a loop device and mount need root";
    LoopDisk disk(dir_, dir_ / "data");
    if (!disk.mounted()) GTEST_SKIP() << "no loop device here: " << disk.why();
    if (!disk.canFail())
        GTEST_SKIP() << "this kernel offers no trigger_fs_error for ext4 (CONFIG_EXT4_DEBUG)";
    const std::string db = dir_ / "data/history.db";
    NotifySocket notify(dir_ / "notify.sock");
    auto host =
        startHost(db, 0.2, "host", {"--report", dir_ / "report.jsonl", "--http", "127.0.0.1:0"},
                  0.02, {"NOTIFY_SOCKET=" + notify.path()});
    auto err = [&] { return readText(dir_ / "host.err"); };
    auto reports = [&] { return readLines(dir_ / "report.jsonl").size(); };
    ASSERT_TRUE(eventually([&] { return readStore(db).byId.size() >= 20; }, 30000ms)) << err();

    disk.fail();
    ASSERT_TRUE(
        eventually([&] { return countOf(err(), "history: storing stopped: ") > 0; }, 30000ms))
        << err();
    // Polling goes on; what the host shows says the history is read-only.
    const std::size_t after = reports();
    EXPECT_TRUE(eventually([&] { return reports() >= after + 100; }, 30000ms));
    const Shown failed = shown(err(), notify);
    EXPECT_NE(failed.metrics.find("ved96_history_writable 0\n"), std::string::npos)
        << failed.metrics;
    EXPECT_EQ(failed.status, "1 of 1 meter answering; history read-only");
    EXPECT_NE(failed.problems.find("history read-only since "), std::string::npos)
        << failed.problems;
    const std::string file = dir_.write("metrics.txt", failed.metrics);
    EXPECT_EQ(std::system((env("PROMTOOL", "promtool") + " check metrics < " + file + " >" +
                           (dir_ / "promtool.out") + " 2>&1")
                              .c_str()),
              0)
        << readText(dir_ / "promtool.out");
    host->signal(SIGTERM);
    EXPECT_EQ(host->wait(20000ms), 0) << err();
    EXPECT_EQ(countOf(err(), "history: storing stopped"), 1u) << err();
    std::printf("/metrics with the history not writable:\n");
    for (const auto& line : readLines(file))
        if (line.rfind("ved96_history_", 0) == 0 || line.rfind("ved96_line_up", 0) == 0 ||
            line.rfind("ved96_line_reopens", 0) == 0 || line.rfind("ved96_clock_", 0) == 0)
            std::printf("  %s\n", line.c_str());
    std::printf("status: %s\n%s", failed.status.c_str(), err().c_str());
}

}  // namespace

// The host's history and cache: every record a device saves, kept in SQLite
// with its data id and the time it was stored, then consolidated into tiers
// (history_tiers.h) that keep minute, quarter-hour and daily values for years.
// The newest record of a meter is what a restarting host offers the device's
// LoadFromCache.
//
// What a crash or a power cut can take. The database is in WAL mode with
// synchronous=FULL; records are queued in memory and committed by the store's
// own writer thread once per commit window (commitSeconds, 10 s by default),
// so a saving line never waits for the disk. A committed window survives a
// crash of vedhost and a power cut (its WAL frames are synced at commit); the
// rounds of the window not yet committed are lost, never more, and the
// database is never left corrupt. Checkpoints run on the writer thread when
// the WAL passes a few MiB, not at every commit.
//
// Size. maxBytes bounds the database, its WAL and its shared-memory index
// together. When a window would not fit, the oldest full records beyond the
// newest hour go first, then the oldest rows of each tier, then the remaining
// full records but each meter's newest. The same retention makes room when
// the disk is full: storing stops (one line on stderr), room is made inside
// the file, and storing resumes by itself (one line, with the rounds lost).
//
// A storage that refuses the file at open (the disk full, the file system
// read-only, an I/O error) is met as one that fills or fails later: the store
// opens without its file, every round counts as not stored, its health says
// why, and its writer opens the file by itself once the storage takes writes
// again (tried within a second, then at most every five seconds).
//
// Time. Rows are stamped, and the tiers made and trimmed, by the time of
// history_clock.h when the options give a monotonic clock: a wall clock that
// steps away from it for less than an hour neither deletes nor skips a row.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/local_time.h"
#include "history/history_clock.h"
#include "history/history_reader.h"
#include "history/history_tiers.h"
#include "history/retry_delay.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vedhost::history_sql {
enum class Refusal;
}

namespace vedhost {

struct HistoryRow {
    std::int64_t id = 0;
    unsigned dataId = 0;
    std::string time;  // local time the record was stored, 2024-03-07T09:05:02.123
    std::vector<unsigned char> record;
    std::int64_t unixMs = 0;  // the same time in milliseconds since 1970 (UTC)
};

// One row of a consolidated tier.
struct ConsolidatedRow {
    unsigned dataId = 0;
    std::int64_t start = 0;  // unix seconds at the start of the step
    std::string time;        // the same as local time, 2024-03-07T09:15:00
    std::int64_t count = 0;  // rounds the row stands for
    std::vector<ConsolidatedSignal> layout;
    std::vector<float> values;  // laid out as `layout` says
};

struct StoreOptions {
    std::uint64_t maxBytes = 128ull << 20;
    double commitSeconds = 10;
    std::vector<TierShape> tiers = defaultTiers();
    std::vector<std::string> signals;      // consolidated beside the default ones
    std::int64_t fullFloorSeconds = 3600;  // full records given up after the tiers' oldest
    // Set: the history keeps to the wall clock only as far as this monotonic
    // clock bears it out (history_clock.h), and a wall time before
    // earliestMs is a clock not set. Empty: the times saved are taken as they
    // are (tools, tests of simulated years).
    std::function<std::int64_t()> monotonicMs;
    std::int64_t earliestMs = 0;
};

// How the store is doing, for /metrics, the service status and the page.
struct StoreHealth {
    bool storing = true;           // the latest commit succeeded
    std::int64_t stoppedAtMs = 0;  // unix ms storing stopped, while it is stopped
    // Why, while it is stopped: the disk (or the cap) full, the file system
    // read-only, or anything else (an I/O error, a disk that does not keep up).
    enum class Stop { None, Full, ReadOnly, Failed } stop = Stop::None;
    std::string error;                        // the error the store met, while it is stopped
    std::uint64_t stored = 0, notStored = 0;  // rounds since open
    std::uint64_t bytes = 0, maxBytes = 0;    // the files together, and the cap
};

struct TierExtent {
    std::string name;                 // "full" or the tier's
    std::int64_t step = 0, span = 0;  // seconds; 0 for the full records
    std::int64_t rows = 0;
    std::int64_t oldest = 0, newest = 0;  // unix seconds, when rows > 0
};

struct StoreInfo {
    std::uint64_t databaseBytes = 0, walBytes = 0, shmBytes = 0;
    std::uint64_t maxBytes = 0;     // as last opened for writing; 0 if never
    std::vector<TierExtent> tiers;  // the full records first
};

class HistoryStore : public HistoryReader {
  public:
    HistoryStore() = default;
    ~HistoryStore() override;
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Opens (and creates or upgrades, unless readOnly) the store; ":memory:"
    // for tests. Opened for writing, the store runs its writer thread. A
    // file the storage refuses (full, read-only, failing) is no failure when
    // writing: the store runs without it, stopped, says so in one line, and
    // opens it as soon as it can; reads find nothing until then.
    bool open(const std::string& path, bool readOnly, std::string& error,
              const StoreOptions& options = {});

    // Queues a record for the next commit; never waits for the disk. False
    // only when the store is not open for writing. `time` is local text; the
    // first form takes the unix time from it (or the clock when it does not
    // read as a time).
    bool save(unsigned dataId, const std::string& time, const unsigned char* data,
              std::size_t length, std::string& error);
    bool save(unsigned dataId, std::int64_t unixMs, const std::string& time,
              const unsigned char* data, std::size_t length, std::string& error);
    // Commits everything queued so far and returns when it is done.
    void flush();

    // The newest record stored for the meter, if any.
    std::optional<HistoryRow> newest(unsigned dataId);
    // Every record, oldest first; only the meter's when a data id is given;
    // stored in [fromMs, toMs) when given.
    std::vector<HistoryRow> list(std::optional<unsigned> dataId,
                                 std::optional<std::int64_t> fromMs = std::nullopt,
                                 std::optional<std::int64_t> toMs = std::nullopt);
    // The rows of a tier by name, oldest first, with a start in [from, to).
    std::vector<ConsolidatedRow> consolidated(const std::string& tier,
                                              std::optional<unsigned> dataId,
                                              std::optional<std::int64_t> from = std::nullopt,
                                              std::optional<std::int64_t> to = std::nullopt);
    // The tiers this file knows (as last opened for writing, else the
    // defaults), finest first.
    std::vector<TierShape> tiers();

    // One signal (by ASCII id) of one meter in [from, to) unix seconds, at
    // most maxPoints points, from the coarsest tier that covers the span and
    // is still no coarser than a point. Safe to call from any thread while
    // the store writes: it reads through a connection of its own.
    std::vector<SeriesPoint> series(unsigned dataId, const std::string& signalId, std::int64_t from,
                                    std::int64_t to, std::size_t maxPoints) override;

    // Sizes and the span of each tier.
    StoreInfo info();

    // Rounds queued but not stored (a full disk, an I/O error, a clock not
    // set) since open.
    long roundsNotStored() const;
    // Whether it stores, what it stored and did not, its size; cheap enough
    // for every request of /metrics (the files' sizes are read, nothing else).
    StoreHealth health() const;

  private:
    struct Pending {
        unsigned dataId;
        std::int64_t unixMs;
        std::string time;
        std::vector<unsigned char> record;
    };
    struct Tier {
        TierShape shape;
        std::map<unsigned, std::int64_t> doneThrough;  // per meter: steps before this are made
    };

    // Puts a record in the queue, with `queueMutex_` held; `wake` when the
    // writer should look, `late` when the queue was full.
    void queueLocked(unsigned dataId, const HistoryClock::Stamp& stamp, const std::string& time,
                     const unsigned char* data, std::size_t length, bool& wake, bool& late);
    // Opens path_ and makes its schema ready; false with db_ null, error
    // saying why and refused_ the storage's part in it.
    bool openAndPrepare(bool readOnly, std::string& error);
    bool prepareSchema(bool readOnly, std::string& error);
    bool migrate(std::string& error);
    void writerLoop();
    // One transaction: the batch, the tiers it closes, retention. False on a
    // failure, rolled back; `full` tells a full disk or cap from other errors.
    bool writeBatch(const Pending* batch, std::size_t count, bool& full, std::string& error,
                    unsigned roomFactor);
    bool insertBatch(const Pending* batch, std::size_t count);
    // Writes records taken from the queue (called and returning unlocked;
    // `lock` is taken to account for them).
    void commitTaken(const Pending* batch, std::size_t count, std::unique_lock<std::mutex>& lock);
    bool consolidate(bool& more);
    bool makeRoom(std::uint64_t needBytes, std::int64_t limitPages);
    std::uint64_t freeDiskBytes() const;
    bool trimTiersByAge();
    void checkpointIfDue();
    std::int64_t budgetBytes() const;
    std::vector<unsigned> meters();
    std::vector<SeriesPoint> seriesFrom(sqlite3* db, unsigned dataId,
                                        const ved96_report::Signal& signal, std::int64_t from,
                                        std::int64_t to, std::size_t maxPoints);

    std::string path_;
    StoreOptions options_;
    std::vector<ConsolidatedSignal> layout_;
    std::int64_t layoutId_ = 0;
    std::vector<Tier> tiers_;
    std::set<unsigned> meters_;                   // meters with records the tiers may still need
    bool upgraded_ = false;                       // the file was of an older release
    std::int64_t now_ = 0;                        // newest record time, unix seconds
    HistoryClock clock_;                          // the time rows are stamped with
    std::int64_t lastAgeTrim_ = 0;                // when the tiers were last trimmed by age
    std::optional<std::int64_t> diskLimitPages_;  // the file may not grow: the disk is full
    std::int64_t limitPages_ = 0;                 // the cap, or an older file's size when larger
    std::int64_t appliedLimit_ = 0;               // max_page_count as last set
    int pageSize_ = 4096;
    std::int64_t walFrames_ = 0;  // frames in the WAL after the last commit

    std::mutex dbMutex_;  // db_ and everything the writer keeps
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    bool writable_ = false;
    int failedErrno_ = 0;             // the system's error behind the latest failed commit
    history_sql::Refusal refused_{};  // why the storage refused the file, at the latest open

    std::mutex readMutex_;  // reader_, for series()
    sqlite3* reader_ = nullptr;

    mutable std::mutex queueMutex_;
    std::condition_variable queueChanged_;
    std::vector<Pending> queue_;  // slots [0, queued_) hold records; the rest are spare
    std::size_t queued_ = 0;
    std::size_t batchLimit_ = 16;
    std::chrono::steady_clock::time_point firstQueued_;  // of the oldest queued record
    bool stopping_ = false, flushing_ = false, moreWork_ = false;
    std::uint64_t queuedTotal_ = 0, writtenTotal_ = 0;  // records queued and handled
    bool stopped_ = false;  // storing has stopped; the next success says so
    std::int64_t stoppedAtMs_ = 0;
    StoreHealth::Stop stopKind_ = StoreHealth::Stop::None;
    std::string stopError_;
    long notStored_ = 0, notStoredSinceStop_ = 0;
    std::uint64_t storedTotal_ = 0;
    bool awaitingFile_ = false;  // the storage refused the file; the writer tries it again
    RetryDelay retry_;
    long notStoredUnset_ = 0;  // rounds of a clock not set, since it was last set
    std::thread writer_;
};

}  // namespace vedhost

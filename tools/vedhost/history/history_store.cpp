#include "history/history_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <iterator>
#include <limits>

#include "history/history_sql.h"

namespace vedhost {
namespace {

using namespace history_sql;

// Records kept in memory while the disk does not keep up; older ones go.
constexpr std::size_t kQueueLimit = 4096;

// One deflate state for the writer thread, reset for each record: making a
// new one per record costs more than deflating (its buffers are allocated,
// cleared and given back to the system each time). A 1 KiB window covers a
// record.
class Deflater {
  public:
    Deflater() {
        ok_ =
            deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 10, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~Deflater() {
        if (ok_) deflateEnd(&z_);
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    // The record deflated into `out`; false when that would not be smaller.
    bool pack(const unsigned char* data, std::size_t length, std::vector<unsigned char>& out,
              std::size_t& packed) {
        if (!ok_ || deflateReset(&z_) != Z_OK) return false;
        out.resize(deflateBound(&z_, static_cast<uLong>(length)));
        z_.next_in = const_cast<unsigned char*>(data);
        z_.avail_in = static_cast<uInt>(length);
        z_.next_out = out.data();
        z_.avail_out = static_cast<uInt>(out.size());
        if (deflate(&z_, Z_FINISH) != Z_STREAM_END) return false;
        packed = out.size() - z_.avail_out;
        return packed < length;
    }

  private:
    z_stream z_{};
    bool ok_ = false;
};

HistoryRow readRow(sqlite3_stmt* stmt) {
    HistoryRow row;
    row.id = sqlite3_column_int64(stmt, 0);
    row.dataId = static_cast<unsigned>(sqlite3_column_int64(stmt, 1));
    const auto* time = sqlite3_column_text(stmt, 2);
    row.time = time != nullptr ? reinterpret_cast<const char*>(time) : "";
    row.record = recordBytes(stmt, 3, 5);
    row.unixMs = sqlite3_column_int64(stmt, 4);
    return row;
}

std::uint64_t fileBytes(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

std::uint64_t freeDiskBytesAt(const std::string& path) {
    if (path.empty() || path == ":memory:") return std::numeric_limits<std::uint64_t>::max();
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    struct statvfs fs {};
    if (::statvfs(dir.c_str(), &fs) != 0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
}

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The stop a health report shows for each refusal of the storage.
constexpr StoreHealth::Stop kStopOf[] = {StoreHealth::Stop::None, StoreHealth::Stop::Full,
                                         StoreHealth::Stop::ReadOnly, StoreHealth::Stop::Failed};
static_assert(static_cast<int>(Refusal::Failed) + 1 == std::size(kStopOf));

// A run of queued records, for range-for.
template <typename T>
struct Range {
    const T* first;
    std::size_t count;
    const T* begin() const { return first; }
    const T* end() const { return first + count; }
};
template <typename T>
Range(const T*, std::size_t) -> Range<T>;

}  // namespace

HistoryStore::~HistoryStore() {
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        stopping_ = true;
    }
    queueChanged_.notify_all();
    if (writer_.joinable()) writer_.join();
    sqlite3_finalize(insert_);
    // The last connection to close checkpoints and removes the WAL.
    sqlite3_close(reader_);
    if (db_ != nullptr && writable_)
        sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_close(db_);
}

bool HistoryStore::open(const std::string& path, bool readOnly, std::string& error,
                        const StoreOptions& options) {
    std::lock_guard<std::mutex> lock(dbMutex_);
    path_ = path;
    options_ = options;
    if (!checkTiers(options_.tiers, error) ||
        !consolidatedSignals(options_.signals, layout_, error))
        return false;
    if (!openAndPrepare(readOnly, error)) {
        if (readOnly || refused_ == Refusal::None) return false;
        // The storage refused the file, as a full or failing disk refuses a
        // commit: the host starts, storing stopped, and the writer opens the
        // file once the storage takes writes again.
        std::lock_guard<std::mutex> queue(queueMutex_);
        stopped_ = true;
        stoppedAtMs_ = nowMs();
        stopKind_ = kStopOf[static_cast<int>(refused_)];
        stopError_ = error;
        awaitingFile_ = true;
        retry_.start();
        std::cerr << "vedhost: history: storing stopped: " << error
                  << "; opening it again in 1 s, then at most every 5 s" << std::endl;
    }
    clock_ = HistoryClock(options_.earliestMs);
    if (!readOnly) {
        writable_ = true;
        // A commit holds at most a quarter of the WAL's checkpoint size.
        batchLimit_ = std::max<std::size_t>(
            16, checkpointBytes(options_.maxBytes) / 4 / (kRecordBytes + 200));
        writer_ = std::thread([this] { writerLoop(); });
    }
    return true;
}

bool HistoryStore::openAndPrepare(bool readOnly, std::string& error) {
    refused_ = Refusal::None;
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (!openFile(path_, flags, 2000, db_, &error, &refused_)) return false;
    std::string why;
    if (!prepareSchema(readOnly, why)) {
        error = "history " + path_ + ": " + why;
        if (refused_ == Refusal::None) refused_ = refusalOf(db_, path_);
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    return true;
}

std::uint64_t HistoryStore::freeDiskBytes() const { return freeDiskBytesAt(path_); }

std::int64_t HistoryStore::budgetBytes() const {
    return static_cast<std::int64_t>(databaseBudgetBytes(options_.maxBytes));
}

bool HistoryStore::save(unsigned dataId, const std::string& time, const unsigned char* data,
                        std::size_t length, std::string& error) {
    return save(dataId, localTextToUnixMs(time.c_str()).value_or(nowMs()), time, data, length,
                error);
}

bool HistoryStore::save(unsigned dataId, std::int64_t unixMs, const std::string& time,
                        const unsigned char* data, std::size_t length, std::string& error) {
    if (!writable_) {
        error = "the history is not open for writing";
        return false;
    }
    bool late = false, wake = false;
    std::string said;  // a line about the clock, printed unlocked
    HistoryClock::Stamp stamp{true, unixMs, false};
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        if (options_.monotonicMs) {
            stamp = clock_.stamp({unixMs, options_.monotonicMs()});
            const auto change = clock_.lastChange();
            if (!stamp.keep) {
                // No time to stamp the round with: polled and published, not stored.
                if (notStoredUnset_ == 0)
                    said = "vedhost: history: the clock reads " + time +
                           ", before this release was built; rounds are not stored until it is "
                           "set";
                ++notStored_;
                ++notStoredUnset_;
            }
            if (change == HistoryClock::Change::Set) {
                said = "vedhost: history: the clock is set; storing rounds from " + time + "; " +
                       std::to_string(notStoredUnset_) +
                       (notStoredUnset_ == 1 ? " round was" : " rounds were") + " not stored";
                notStoredUnset_ = 0;
            } else if (change == HistoryClock::Change::Followed) {
                said = "vedhost: history: the wall clock held its step of " +
                       spanText(clock_.lastStepMs()) +
                       (clock_.lastStepMs() > 0 ? " forward" : " back") +
                       " for an hour; rows follow it from " + time;
            }
        }
        if (stamp.keep) queueLocked(dataId, stamp, time, data, length, wake, late);
    }
    if (!said.empty()) std::cerr << said << std::endl;
    if (late)
        std::cerr << "vedhost: history: storing stopped: the disk does not keep up" << std::endl;
    if (wake || late) queueChanged_.notify_all();
    return true;
}

void HistoryStore::queueLocked(unsigned dataId, const HistoryClock::Stamp& stamp,
                               const std::string& time, const unsigned char* data,
                               std::size_t length, bool& wake, bool& late) {
    if (queued_ == 0) {
        firstQueued_ = std::chrono::steady_clock::now();
        wake = true;  // the writer starts the window's clock
    }
    if (queued_ >= kQueueLimit) {
        // The disk has not taken a record for thousands of rounds: the
        // oldest queued one goes, and counts as not stored.
        std::rotate(queue_.begin(), queue_.begin() + 1, queue_.begin() + queued_);
        --queued_;
        ++writtenTotal_;
        ++notStored_;
        ++notStoredSinceStop_;
        late = !stopped_;
        if (late) {
            stoppedAtMs_ = nowMs();
            stopKind_ = StoreHealth::Stop::Failed;
            stopError_ = "the disk does not keep up";
        }
        stopped_ = true;
    }
    // Slots are reused with their buffers: a round allocates nothing here.
    if (queued_ == queue_.size()) queue_.emplace_back();
    Pending& slot = queue_[queued_++];
    slot.dataId = dataId;
    slot.unixMs = stamp.ms;
    if (stamp.borne)
        slot.time =
            timestamp(std::chrono::system_clock::time_point(std::chrono::milliseconds(stamp.ms)));
    else
        slot.time.assign(time);
    slot.record.assign(data, data + length);
    ++queuedTotal_;
    wake = wake || queued_ == batchLimit_;
}

void HistoryStore::flush() {
    std::unique_lock<std::mutex> lock(queueMutex_);
    if (!writer_.joinable()) return;
    const std::uint64_t target = queuedTotal_;
    flushing_ = true;
    queueChanged_.notify_all();
    queueChanged_.wait(lock, [&] { return writtenTotal_ >= target && !moreWork_; });
    flushing_ = false;
}

long HistoryStore::roundsNotStored() const {
    std::lock_guard<std::mutex> lock(queueMutex_);
    return notStored_;
}

StoreHealth HistoryStore::health() const {
    StoreHealth h;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        h.storing = !stopped_;
        h.stoppedAtMs = stopped_ ? stoppedAtMs_ : 0;
        h.stop = stopped_ ? stopKind_ : StoreHealth::Stop::None;
        if (stopped_) h.error = stopError_;
        h.stored = storedTotal_;
        h.notStored = static_cast<std::uint64_t>(notStored_);
    }
    if (path_ != ":memory:" && !path_.empty())
        h.bytes = fileBytes(path_) + fileBytes(path_ + "-wal") + fileBytes(path_ + "-shm");
    h.maxBytes = options_.maxBytes;
    return h;
}

void HistoryStore::writerLoop() {
    const auto window = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(options_.commitSeconds));
    // A commit holds at most a quarter of the WAL's checkpoint size.
    const std::size_t maxBatch = batchLimit_;
    std::vector<Pending> taken;  // the queue's slots while they are written
    std::unique_lock<std::mutex> lock(queueMutex_);
    for (;;) {
        if (awaitingFile_ && !stopping_ && retry_.isDue()) {
            // The file the storage refused, tried again; the first commit
            // that stores says storing resumed.
            awaitingFile_ = !retry_.tryAgain(lock, dbMutex_, [this] {
                std::string error;
                return openAndPrepare(false, error);
            });
            continue;
        }
        const bool due = queued_ > 0 && (stopping_ || flushing_ || queued_ >= maxBatch ||
                                         std::chrono::steady_clock::now() - firstQueued_ >= window);
        if (!due && !moreWork_) {
            if (stopping_) break;
            auto until = firstQueued_ + window;
            if (awaitingFile_) until = queued_ > 0 ? std::min(until, retry_.due()) : retry_.due();
            if (awaitingFile_)
                queueChanged_.wait_until(lock, until);
            else if (queued_ == 0)
                queueChanged_.wait(lock);
            else
                queueChanged_.wait_until(lock, until);
            continue;
        }
        // The whole queue is taken at once by swapping slot vectors; the
        // saving threads fill the other one meanwhile.
        std::size_t takenCount = 0;
        if (due) {
            std::swap(taken, queue_);
            takenCount = queued_;
            queued_ = 0;
        }
        lock.unlock();
        for (std::size_t at = 0; at < takenCount || (takenCount == 0 && at == 0); at += maxBatch) {
            const std::size_t n = std::min(maxBatch, takenCount - at);
            commitTaken(taken.data() + at, n, lock);
            if (takenCount == 0) break;
        }
        lock.lock();
        queueChanged_.notify_all();
    }
}

void HistoryStore::commitTaken(const Pending* batch, std::size_t count,
                               std::unique_lock<std::mutex>& lock) {
    {
        bool full = false;
        std::string error;
        bool stored;
        int failedErrno = 0;
        {
            std::lock_guard<std::mutex> db(dbMutex_);
            failedErrno_ = 0;
            stored = writeBatch(batch, count, full, error, 1);
            if (!stored && full) {
                // The cap or a full disk (then the file stops growing):
                // room made for four times as much, and one more try.
                stored = writeBatch(batch, count, full, error, 4);
            }
            if (stored) checkpointIfDue();
            failedErrno = failedErrno_;
        }
        lock.lock();
        writtenTotal_ += count;
        if (count > 0) {
            if (!stored) {
                notStored_ += static_cast<long>(count);
                notStoredSinceStop_ += static_cast<long>(count);
            } else {
                storedTotal_ += count;
            }
            const bool wasStopped = stopped_;
            const long lost = notStoredSinceStop_;
            stopped_ = !stored;
            if (!stored && !wasStopped) {
                stoppedAtMs_ = nowMs();
                // A file system made read-only by an I/O error (ext4's
                // errors=remount-ro) says so only in what a write is told.
                const bool readOnly = failedErrno == EROFS || fileSystemReadOnly(path_);
                stopKind_ = full       ? StoreHealth::Stop::Full
                            : readOnly ? StoreHealth::Stop::ReadOnly
                                       : StoreHealth::Stop::Failed;
                stopError_ = error;
            }
            if (stored) notStoredSinceStop_ = 0;
            if (!stored && !wasStopped)
                std::cerr << "vedhost: history: storing stopped: " << error << std::endl;
            if (stored && wasStopped)
                std::cerr << "vedhost: history: storing again; " << lost
                          << (lost == 1 ? " round was" : " rounds were") << " not stored"
                          << std::endl;
        } else if (!stored) {
            moreWork_ = false;  // consolidation failed: left for the next batch
        }
        queueChanged_.notify_all();
    }
    lock.unlock();
}

bool HistoryStore::writeBatch(const Pending* batch, std::size_t count, bool& full,
                              std::string& error, unsigned roomFactor) {
    full = false;
    if (db_ == nullptr) {  // the storage refused the file at open
        error = "the history's file is not open";
        return false;
    }
    // Room for the records and for a tier row wherever a record starts a
    // new step of its meter.
    std::uint64_t tierRows = 0;
    {
        std::map<unsigned, std::int64_t> last;
        for (const Pending& p : Range{batch, count}) {
            const std::int64_t t = p.unixMs / 1000;
            const auto it = last.find(p.dataId);
            for (const Tier& tier : tiers_)
                if (it == last.end() ||
                    floorTo(t, tier.shape.step) != floorTo(it->second, tier.shape.step))
                    ++tierRows;
            last[p.dataId] = t;
        }
    }
    const std::uint64_t need =
        roomFactor * (count * (kRecordBytes + 200) + tierRows * (4 * layoutWidth(layout_) + 100) +
                      16 * static_cast<std::uint64_t>(pageSize_));
    // A disk without room for the WAL and this commit: the file stops
    // growing and the oldest records make room inside it. The limit goes
    // once the disk has room again.
    const std::uint64_t free = freeDiskBytes();
    const std::uint64_t margin = walReserveBytes(options_.maxBytes) + need;
    if (free < margin) {
        const std::int64_t pages =
            std::max<std::int64_t>(1, static_cast<std::int64_t>(fileBytes(path_)) / pageSize_);
        if (!diskLimitPages_ || *diskLimitPages_ > pages) diskLimitPages_ = pages;
    } else if (diskLimitPages_ && free >= 2 * margin) {
        diskLimitPages_.reset();
    }
    const std::int64_t limit =
        diskLimitPages_ ? std::min(limitPages_, *diskLimitPages_) : limitPages_;
    if (limit != appliedLimit_) {
        // max_page_count never goes below the pages in use; makeRoom frees
        // pages first, so set it after, below, as well.
        exec(db_, ("PRAGMA max_page_count=" + std::to_string(limit)).c_str());
        appliedLimit_ = limit;
    }
    auto fail = [&] {
        const int code = sqlite3_extended_errcode(db_) & 0xff;
        full = code == SQLITE_FULL;
        error = sqlite3_errmsg(db_);
        failedErrno_ = sqlite3_system_errno(db_);
        exec(db_, "ROLLBACK");
        return false;
    };
    if (!exec(db_, "BEGIN IMMEDIATE")) return fail();
    // The newest time stored. Kept to the monotonic clock, it is the time of
    // this batch, which goes back when the wall clock's step back has held;
    // otherwise the newest ever saved.
    if (count > 0 && options_.monotonicMs) {
        std::int64_t newest = std::numeric_limits<std::int64_t>::min();
        for (const Pending& p : Range{batch, count}) newest = std::max(newest, p.unixMs / 1000);
        now_ = newest;
    } else {
        for (const Pending& p : Range{batch, count}) now_ = std::max(now_, p.unixMs / 1000);
    }
    makeRoom(need, limit);
    if (!insertBatch(batch, count)) return fail();
    for (const Pending& p : Range{batch, count}) meters_.insert(p.dataId);
    bool more = false;
    if (!consolidate(more)) return fail();
    // Rows go for their age only by a time that has held for an hour.
    bool settled = true;
    if (options_.monotonicMs) {
        std::lock_guard<std::mutex> lock(queueMutex_);  // the clock is the saving threads'
        settled = clock_.settled(options_.monotonicMs());
    }
    if (settled && (now_ - lastAgeTrim_ >= 3600 || now_ < lastAgeTrim_) && !trimTiersByAge())
        return fail();
    if (!exec(db_, "COMMIT")) return fail();
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        moreWork_ = more;
    }
    return true;
}

bool HistoryStore::insertBatch(const Pending* batch, std::size_t count) {
    if (insert_ == nullptr &&
        sqlite3_prepare_v2(db_,
                           "INSERT INTO history (data_id, time, record, unix_ms, coding)"
                           " VALUES (?, ?, ?, ?, ?)",
                           -1, &insert_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(insert_);
        insert_ = nullptr;
        return false;
    }
    static thread_local Deflater deflater;
    static thread_local std::vector<unsigned char> packed;
    for (const Pending& p : Range{batch, count}) {
        std::size_t length = 0;
        const bool deflated = p.record.size() == kRecordBytes &&
                              deflater.pack(p.record.data(), kRecordBytes, packed, length);
        const auto& bytes = deflated ? packed : p.record;
        const std::size_t size = deflated ? length : p.record.size();
        // The text and the record are bound in place: both outlive the step.
        sqlite3_bind_int64(insert_, 1, p.dataId);
        sqlite3_bind_text(insert_, 2, p.time.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_blob(insert_, 3, bytes.data(), static_cast<int>(size), SQLITE_STATIC);
        sqlite3_bind_int64(insert_, 4, p.unixMs);
        sqlite3_bind_int(insert_, 5, deflated ? kDeflated : kRaw);
        const bool done = sqlite3_step(insert_) == SQLITE_DONE;
        sqlite3_reset(insert_);
        sqlite3_clear_bindings(insert_);
        if (!done) return false;
    }
    return true;
}

std::vector<unsigned> HistoryStore::meters() {
    return std::vector<unsigned>(meters_.begin(), meters_.end());
}

std::optional<HistoryRow> HistoryStore::newest(unsigned dataId) {
    flush();
    std::lock_guard<std::mutex> lock(dbMutex_);
    Statement stmt(db_,
                   "SELECT id, data_id, time, record, unix_ms, coding FROM history WHERE"
                   " data_id = ? ORDER BY id DESC LIMIT 1");
    if (!stmt) return std::nullopt;
    sqlite3_bind_int64(stmt.get(), 1, dataId);
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) return std::nullopt;
    return readRow(stmt.get());
}

std::vector<HistoryRow> HistoryStore::list(std::optional<unsigned> dataId,
                                           std::optional<std::int64_t> fromMs,
                                           std::optional<std::int64_t> toMs) {
    flush();
    std::lock_guard<std::mutex> lock(dbMutex_);
    std::vector<HistoryRow> rows;
    // A file of the first release has no unix times: its rows are read whole.
    bool hasUnix = false;
    {
        Statement columns(db_, "PRAGMA table_info(history)");
        while (columns.row()) hasUnix = hasUnix || columns.text(1) == "coding";
    }
    std::string sql = hasUnix
                          ? "SELECT id, data_id, time, record, unix_ms, coding FROM history WHERE 1"
                          : "SELECT id, data_id, time, record, 0, 0 FROM history WHERE 1";
    if (dataId) sql += " AND data_id = ?1";
    if (hasUnix && fromMs) sql += " AND unix_ms >= ?2";
    if (hasUnix && toMs) sql += " AND unix_ms < ?3";
    sql += " ORDER BY id";
    Statement stmt(db_, sql.c_str());
    if (!stmt) return rows;
    if (dataId) stmt.bind(1, *dataId);
    if (fromMs) stmt.bind(2, *fromMs);
    if (toMs) stmt.bind(3, *toMs);
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
        rows.push_back(readRow(stmt.get()));
        if (!hasUnix) {
            rows.back().unixMs = localTextToUnixMs(rows.back().time.c_str()).value_or(0);
            const std::int64_t ms = rows.back().unixMs;
            if ((fromMs && ms < *fromMs) || (toMs && ms >= *toMs)) rows.pop_back();
        }
    }
    return rows;
}

std::vector<TierShape> HistoryStore::tiers() {
    std::lock_guard<std::mutex> lock(dbMutex_);
    std::vector<TierShape> out;
    Statement stmt(db_, "SELECT name, step, span FROM tiers ORDER BY step");
    while (stmt.row()) out.push_back({stmt.text(0), stmt.integer(1), stmt.integer(2)});
    return out.empty() && !stmt ? defaultTiers() : out;
}

std::vector<ConsolidatedRow> HistoryStore::consolidated(const std::string& tier,
                                                        std::optional<unsigned> dataId,
                                                        std::optional<std::int64_t> from,
                                                        std::optional<std::int64_t> to) {
    std::int64_t step = 0;
    for (const TierShape& t : tiers())
        if (t.name == tier) step = t.step;
    flush();
    std::lock_guard<std::mutex> lock(dbMutex_);
    std::vector<ConsolidatedRow> rows;
    if (step == 0) return rows;
    std::string sql =
        "SELECT c.data_id, c.start, c.count, l.signals, c.vals FROM consolidated c"
        " JOIN layouts l ON l.id = c.layout WHERE c.step = ?1";
    if (dataId) sql += " AND c.data_id = ?2";
    if (from) sql += " AND c.start >= ?3";
    if (to) sql += " AND c.start < ?4";
    sql += " ORDER BY c.start, c.data_id";
    Statement stmt(db_, sql.c_str());
    if (!stmt) return rows;
    stmt.bind(1, step);
    if (dataId) stmt.bind(2, *dataId);
    if (from) stmt.bind(3, *from);
    if (to) stmt.bind(4, *to);
    std::map<std::string, std::vector<ConsolidatedSignal>> layouts;
    while (stmt.row()) {
        ConsolidatedRow row;
        row.dataId = static_cast<unsigned>(stmt.integer(0));
        row.start = stmt.integer(1);
        row.time = localText(row.start);
        row.count = stmt.integer(2);
        const std::string text = stmt.text(3);
        auto it = layouts.find(text);
        if (it == layouts.end()) it = layouts.emplace(text, parseLayout(text)).first;
        row.layout = it->second;
        row.values = blobFloats(stmt.get(), 4);
        if (row.values.size() < layoutWidth(row.layout)) continue;
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<SeriesPoint> HistoryStore::series(unsigned dataId, const std::string& signalId,
                                              std::int64_t from, std::int64_t to,
                                              std::size_t maxPoints) {
    const ved96_report::Signal* signal = ved96_report::findSignal(signalId.c_str());
    if (signal == nullptr || maxPoints == 0 || to <= from ||
        (signal->kind != ved96_report::SignalKind::Number &&
         signal->kind != ved96_report::SignalKind::Bit))
        return {};
    if (path_ == ":memory:" || path_.empty()) {
        flush();
        std::lock_guard<std::mutex> lock(dbMutex_);
        return seriesFrom(db_, dataId, *signal, from, to, maxPoints);
    }
    std::lock_guard<std::mutex> lock(readMutex_);
    if (reader_ == nullptr && !openFile(path_, SQLITE_OPEN_READONLY, 2000, reader_)) return {};
    exec(reader_, "BEGIN");  // one snapshot for the whole query
    auto points = seriesFrom(reader_, dataId, *signal, from, to, maxPoints);
    exec(reader_, "COMMIT");
    return points;
}

std::vector<SeriesPoint> HistoryStore::seriesFrom(sqlite3* db, unsigned dataId,
                                                  const ved96_report::Signal& signal,
                                                  std::int64_t from, std::int64_t to,
                                                  std::size_t maxPoints) {
    const std::int64_t width =
        std::max<std::int64_t>(1, (to - from + static_cast<std::int64_t>(maxPoints) - 1) /
                                      static_cast<std::int64_t>(maxPoints));
    // Sources, finest first: the full records, then each tier holding the
    // signal. The span is read from the coarsest source that reaches back as
    // far as any (to `from` at best) and is no coarser than a point, and its
    // recent end, which that tier has not made yet, from the finer ones.
    struct Source {
        std::int64_t step, oldest, end;
    };
    std::vector<Source> sources;
    {
        Statement s(db, "SELECT min(unix_ms), max(unix_ms) FROM history WHERE data_id = ?");
        s.bind(1, dataId);
        if (s.row() && !s.null(0)) sources.push_back({0, floorTo(s.integer(0), 1000) / 1000, to});
    }
    {
        Statement s(db,
                    "SELECT c.step, min(c.start), max(c.start), l.signals FROM consolidated c"
                    " JOIN layouts l ON l.id = c.layout WHERE c.data_id = ? GROUP BY c.step"
                    " ORDER BY c.step");
        s.bind(1, dataId);
        const std::string id = std::string(signal.id) + ":";
        while (s.row()) {
            if (("," + s.text(3)).find("," + id) == std::string::npos) continue;
            sources.push_back({s.integer(0), s.integer(1), s.integer(2) + s.integer(0)});
        }
    }
    if (sources.empty()) return {};
    std::int64_t reach = sources.front().oldest;
    for (const Source& s : sources) reach = std::min(reach, s.oldest);
    const std::int64_t want = std::max(from, reach);
    std::size_t chosen = sources.size();
    for (std::size_t i = 0; i < sources.size(); ++i)
        if (sources[i].oldest <= want && (sources[i].step <= width || chosen == sources.size()))
            chosen = i;

    std::vector<SeriesPoint> points;
    std::vector<std::int64_t> weights;
    auto add = [&](std::int64_t t, double mn, double avg, double mx, std::int64_t n) {
        if (std::isnan(avg) || t < from || t >= to) return;
        const std::int64_t start = from + (t - from) / width * width;
        if (points.empty() || points.back().time != start) {
            points.push_back({start, mn, 0, mx});
            weights.push_back(0);
        }
        SeriesPoint& p = points.back();
        p.min = std::min(p.min, mn);
        p.max = std::max(p.max, mx);
        p.avg += avg * static_cast<double>(n);
        weights.back() += n;
    };
    auto readFull = [&](std::int64_t a, std::int64_t b) {
        Statement rows(db,
                       "SELECT unix_ms, record, coding FROM history WHERE data_id = ? AND"
                       " unix_ms >= ? AND unix_ms < ? ORDER BY unix_ms");
        rows.bind(1, dataId).bind(2, a * 1000).bind(3, b * 1000);
        while (rows.row()) {
            const auto bytes = recordBytes(rows.get(), 1, 2);
            if (bytes.size() != kRecordBytes) continue;
            const double v = recordNumber(bytes.data(), signal);
            add(floorTo(rows.integer(0), 1000) / 1000, v, v, v, 1);
        }
    };
    auto readTier = [&](std::int64_t step, std::int64_t a, std::int64_t b) {
        Statement rows(db,
                       "SELECT c.start, c.count, l.signals, c.vals FROM consolidated c JOIN"
                       " layouts l ON l.id = c.layout WHERE c.step = ? AND c.data_id = ? AND"
                       " c.start >= ? AND c.start < ? ORDER BY c.start");
        rows.bind(1, step).bind(2, dataId).bind(3, a).bind(4, b);
        std::map<std::string, std::vector<ConsolidatedSignal>> layouts;
        while (rows.row()) {
            const std::string text = rows.text(2);
            auto it = layouts.find(text);
            if (it == layouts.end()) it = layouts.emplace(text, parseLayout(text)).first;
            const auto v = blobFloats(rows.get(), 3);
            std::size_t at = 0;
            for (const ConsolidatedSignal& c : it->second) {
                const std::size_t n = c.how == Consolidation::Last ? 1 : 3;
                if (c.signal == &signal && at + n <= v.size()) {
                    if (n == 1)
                        add(rows.integer(0), v[at], v[at], v[at], rows.integer(1));
                    else
                        add(rows.integer(0), v[at], v[at + 1], v[at + 2], rows.integer(1));
                    break;
                }
                at += n;
            }
        }
    };
    std::int64_t cursor = from;
    for (std::size_t i = chosen + 1; i-- > 0 && cursor < to;) {
        const std::int64_t segmentEnd = i == 0 ? to : std::min(to, sources[i].end);
        if (segmentEnd <= cursor) continue;
        if (sources[i].step == 0)
            readFull(cursor, segmentEnd);
        else
            readTier(sources[i].step, cursor, segmentEnd);
        cursor = segmentEnd;
    }
    for (std::size_t i = 0; i < points.size(); ++i)
        points[i].avg /= static_cast<double>(std::max<std::int64_t>(1, weights[i]));
    return points;
}

StoreInfo HistoryStore::info() {
    flush();
    StoreInfo out;
    out.databaseBytes = fileBytes(path_);
    out.walBytes = fileBytes(path_ + "-wal");
    out.shmBytes = fileBytes(path_ + "-shm");
    const auto tiers = this->tiers();
    std::lock_guard<std::mutex> lock(dbMutex_);
    out.maxBytes = static_cast<std::uint64_t>(
        scalar(db_, "SELECT value FROM settings WHERE key = 'max_bytes'", 0));
    {
        TierExtent full{"full", 0, 0, 0, 0, 0};
        Statement s(db_, "SELECT count(*), min(id), max(id) FROM history");
        if (s.row()) full.rows = s.integer(0);
        if (full.rows > 0) {
            const std::int64_t first = s.integer(1), last = s.integer(2);
            for (auto [id, at] : {std::pair{first, &full.oldest}, std::pair{last, &full.newest}}) {
                // A file of the first release has its local time text only.
                Statement u(db_, "SELECT unix_ms FROM history WHERE id = ?");
                if (u) {
                    u.bind(1, id);
                    if (u.row() && !u.null(0)) *at = floorTo(u.integer(0), 1000) / 1000;
                    continue;
                }
                Statement t(db_, "SELECT time FROM history WHERE id = ?");
                t.bind(1, id);
                if (t.row()) *at = localTextToUnixMs(t.text(0).c_str()).value_or(0) / 1000;
            }
        }
        out.tiers.push_back(full);
    }
    for (const TierShape& t : tiers) {
        TierExtent e{t.name, t.step, t.span, 0, 0, 0};
        Statement s(db_,
                    "SELECT count(*), min(start), max(start) FROM consolidated WHERE step = ?");
        if (s) {
            s.bind(1, t.step);
            if (s.row()) {
                e.rows = s.integer(0);
                e.oldest = s.integer(1);
                e.newest = s.integer(2);
            }
        }
        out.tiers.push_back(e);
    }
    return out;
}

}  // namespace vedhost

#include "history_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <limits>

namespace vedhost {
namespace {

constexpr int kSchemaVersion = 3;
constexpr std::size_t kRecordBytes = 1009;
// Records kept in memory while the disk does not keep up; older ones go.
constexpr std::size_t kQueueLimit = 4096;
// Steps of one tier made in one transaction, so a long backlog (an upgraded
// database, a long pause) is worked off in commits of bounded size.
constexpr std::int64_t kStepsPerCommit = 2000;
// Migration: rows given their unix time per transaction.
constexpr int kMigrateChunk = 4000;

// A prepared statement, finalised on every path.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }
    explicit operator bool() const { return stmt_ != nullptr; }
    Statement& bind(int i, std::int64_t v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    bool row() { return stmt_ != nullptr && sqlite3_step(stmt_) == SQLITE_ROW; }
    bool done() { return stmt_ != nullptr && sqlite3_step(stmt_) == SQLITE_DONE; }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    bool null(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    std::string text(int column) const {
        const auto* t = sqlite3_column_text(stmt_, column);
        return t != nullptr ? reinterpret_cast<const char*>(t) : "";
    }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

bool exec(sqlite3* db, const char* sql, std::string* error = nullptr) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    if (rc != SQLITE_OK && error != nullptr) *error = message != nullptr ? message : "failed";
    sqlite3_free(message);
    return rc == SQLITE_OK;
}

std::int64_t scalar(sqlite3* db, const char* sql, std::int64_t otherwise = 0) {
    Statement stmt(db, sql);
    return stmt.row() && !stmt.null(0) ? stmt.integer(0) : otherwise;
}

// Meter records are stored deflated (coding 1) when that is smaller: a
// record holds many zero and slowly changing registers and deflates to about
// a third, which is a third of the writes and three times the records.
enum Coding { kRaw = 0, kDeflated = 1 };

std::vector<unsigned char> recordBytes(sqlite3_stmt* stmt, int column, int codingColumn) {
    const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, column));
    const int bytes = sqlite3_column_bytes(stmt, column);
    if (sqlite3_column_int(stmt, codingColumn) == kDeflated) {
        std::vector<unsigned char> out(kRecordBytes);
        uLongf length = kRecordBytes;
        if (uncompress(out.data(), &length, blob, static_cast<uLong>(bytes)) == Z_OK &&
            length == kRecordBytes)
            return out;
        return {};  // damaged: not a record
    }
    return std::vector<unsigned char>(blob, blob + bytes);
}

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

// "2024-03-07T09:05:02.123" (or with a space, seconds and milliseconds
// optional) as local time to unix milliseconds.
std::optional<std::int64_t> localTextToUnixMs(const char* text) {
    if (text == nullptr) return std::nullopt;
    std::tm tm{};
    unsigned ms = 0;
    char sep = 0;
    const int n = std::sscanf(text, "%d-%d-%d%c%d:%d:%d.%3u", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                              &sep, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms);
    if (n < 6 || (sep != 'T' && sep != ' ')) return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return std::nullopt;
    return static_cast<std::int64_t>(t) * 1000 + ms;
}

// SQL function local_ms(text): the stored local time text as unix ms; 0
// for a text that is no time, so such a row sorts as the oldest.
void localMsFunction(sqlite3_context* context, int, sqlite3_value** argv) {
    const auto ms = localTextToUnixMs(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])));
    sqlite3_result_int64(context, ms.value_or(0));
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

std::int64_t floorTo(std::int64_t t, std::int64_t step) {
    const std::int64_t q = t / step;
    return (t % step != 0 && t < 0 ? q - 1 : q) * step;
}

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// WAL sizes for a cap: a checkpoint once the WAL passes a 32nd of the cap
// (between 256 KiB and 4 MiB), and room for twice that, since a reader may
// delay a checkpoint by a commit or two.
std::uint64_t checkpointBytes(std::uint64_t maxBytes) {
    return std::clamp<std::uint64_t>(maxBytes / 32, 256u << 10, 4u << 20);
}
std::uint64_t walReserveBytes(std::uint64_t maxBytes) { return 2 * checkpointBytes(maxBytes); }
constexpr std::uint64_t kShmReserve = 64u << 10;

int walHook(void* frames, sqlite3*, const char*, int count) {
    *static_cast<std::int64_t*>(frames) = count;
    return SQLITE_OK;
}

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

std::vector<float> blobFloats(sqlite3_stmt* stmt, int column) {
    const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, column));
    std::vector<float> out(static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)) /
                           sizeof(float));
    if (!out.empty()) std::memcpy(out.data(), blob, out.size() * sizeof(float));
    return out;
}

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
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        error = "cannot open history " + path + ": " + sqlite3_errmsg(db_);
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    sqlite3_busy_timeout(db_, 2000);
    std::string why;
    if (!prepareSchema(readOnly, why)) {
        error = "history " + path + ": " + why;
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    if (!readOnly) {
        writable_ = true;
        // A commit holds at most a quarter of the WAL's checkpoint size.
        batchLimit_ = std::max<std::size_t>(
            16, checkpointBytes(options_.maxBytes) / 4 / (kRecordBytes + 200));
        writer_ = std::thread([this] { writerLoop(); });
    }
    return true;
}

bool HistoryStore::prepareSchema(bool readOnly, std::string& error) {
    if (readOnly) {
        // A file of any release reads; only its records are required.
        return exec(db_, "SELECT count(*) FROM history LIMIT 1", &error);
    }
    sqlite3_create_function(db_, "local_ms", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                            localMsFunction, nullptr, nullptr);
    const bool memory = path_ == ":memory:" || path_.empty();
    if (!memory && !exec(db_, "PRAGMA journal_mode=WAL", &error)) return false;
    {
        Statement mode(db_, "PRAGMA journal_mode");
        if (!memory && (!mode.row() || mode.text(0) != "wal")) {
            error = "cannot use a write-ahead log here";
            return false;
        }
    }
    pageSize_ = static_cast<int>(scalar(db_, "PRAGMA page_size", 4096));
    const std::string pragmas =
        "PRAGMA synchronous=FULL; PRAGMA wal_autocheckpoint=0; PRAGMA cache_size=-4096;"
        " PRAGMA journal_size_limit=" +
        std::to_string(walReserveBytes(options_.maxBytes)) + ";";
    if (!exec(db_, pragmas.c_str(), &error)) return false;
    sqlite3_wal_hook(db_, walHook, &walFrames_);

    const char* schema =
        "BEGIN;"
        "CREATE TABLE IF NOT EXISTS history ("
        " id INTEGER PRIMARY KEY AUTOINCREMENT,"
        " data_id INTEGER NOT NULL,"
        " time TEXT NOT NULL,"
        " record BLOB NOT NULL,"
        " unix_ms INTEGER,"
        " coding INTEGER NOT NULL DEFAULT 0);"
        "CREATE TABLE IF NOT EXISTS consolidated ("
        " id INTEGER PRIMARY KEY,"
        " step INTEGER NOT NULL,"
        " data_id INTEGER NOT NULL,"
        " start INTEGER NOT NULL,"
        " count INTEGER NOT NULL,"
        " layout INTEGER NOT NULL,"
        " vals BLOB NOT NULL);"
        "CREATE UNIQUE INDEX IF NOT EXISTS consolidated_by_step"
        " ON consolidated (step, data_id, start);"
        "CREATE TABLE IF NOT EXISTS layouts (id INTEGER PRIMARY KEY, signals TEXT NOT NULL"
        " UNIQUE);"
        "CREATE TABLE IF NOT EXISTS tiers (name TEXT PRIMARY KEY, step INTEGER NOT NULL,"
        " span INTEGER NOT NULL);"
        "CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, value);"
        "COMMIT;";
    if (!exec(db_, schema, &error)) {
        exec(db_, "ROLLBACK");
        return false;
    }
    if (!migrate(error)) return false;

    // What this run keeps, written down for `vedhost history --info` and
    // for the names --resolution accepts.
    exec(db_, "BEGIN");
    exec(db_, "DELETE FROM tiers");
    for (const TierShape& t : options_.tiers) {
        Statement put(db_, "INSERT INTO tiers (name, step, span) VALUES (?, ?, ?)");
        sqlite3_bind_text(put.get(), 1, t.name.c_str(), -1, SQLITE_TRANSIENT);
        put.bind(2, t.step).bind(3, t.span).done();
    }
    {
        Statement put(db_, "INSERT OR REPLACE INTO settings (key, value) VALUES ('max_bytes', ?)");
        put.bind(1, static_cast<std::int64_t>(options_.maxBytes)).done();
    }
    const std::string layout = layoutText(layout_);
    {
        Statement put(db_, "INSERT OR IGNORE INTO layouts (signals) VALUES (?)");
        sqlite3_bind_text(put.get(), 1, layout.c_str(), -1, SQLITE_TRANSIENT);
        put.done();
        Statement get(db_, "SELECT id FROM layouts WHERE signals = ?");
        sqlite3_bind_text(get.get(), 1, layout.c_str(), -1, SQLITE_TRANSIENT);
        if (get.row()) layoutId_ = get.integer(0);
    }
    if (!exec(db_, "COMMIT", &error)) return false;

    for (const TierShape& t : options_.tiers) tiers_.push_back({t, {}});
    // The meters whose steps may still be open: those of the newest records
    // (every meter, after an upgrade, whose records were never consolidated).
    {
        Statement ids(db_, upgraded_ ? "SELECT DISTINCT data_id FROM history"
                                     : "SELECT DISTINCT data_id FROM history WHERE id >"
                                       " (SELECT max(id) FROM history) - 10000");
        while (ids.row()) meters_.insert(static_cast<unsigned>(ids.integer(0)));
    }
    now_ = scalar(db_, "SELECT max(unix_ms) FROM history", 0) / 1000;
    // The file may not outgrow the cap; a file from an older release that is
    // already larger keeps its size (its records are kept) and stops there.
    const std::int64_t pages = scalar(db_, "PRAGMA page_count");
    const std::int64_t capPages = budgetBytes() / pageSize_;
    limitPages_ = std::max(pages, capPages);
    appliedLimit_ = limitPages_;
    exec(db_, ("PRAGMA max_page_count=" + std::to_string(limitPages_)).c_str());
    return true;
}

// A database of the first release has no unix times and no tiers; its
// records are kept, each given the unix time of its local time text, in
// transactions of bounded size so an interrupted upgrade goes on at the next
// start.
bool HistoryStore::migrate(std::string& error) {
    if (scalar(db_, "PRAGMA user_version") >= kSchemaVersion) return true;
    upgraded_ = true;
    bool hasUnix = false, hasCoding = false;
    {
        Statement columns(db_, "PRAGMA table_info(history)");
        while (columns.row()) {
            hasUnix = hasUnix || columns.text(1) == "unix_ms";
            hasCoding = hasCoding || columns.text(1) == "coding";
        }
    }
    if (!hasUnix && !exec(db_, "ALTER TABLE history ADD COLUMN unix_ms INTEGER", &error))
        return false;
    if (!hasCoding &&
        !exec(db_, "ALTER TABLE history ADD COLUMN coding INTEGER NOT NULL DEFAULT 0", &error))
        return false;
    const std::string chunk =
        "UPDATE history SET unix_ms = local_ms(time) WHERE id IN"
        " (SELECT id FROM history WHERE unix_ms IS NULL LIMIT " +
        std::to_string(kMigrateChunk) + ")";
    for (;;) {
        if (!exec(db_, chunk.c_str(), &error)) return false;
        if (sqlite3_changes(db_) == 0) break;
        checkpointIfDue();
    }
    return exec(db_,
                "BEGIN;"
                // One index by time alone: a commit adds to its one end.
                "CREATE INDEX IF NOT EXISTS history_at ON history (unix_ms);"
                "DROP INDEX IF EXISTS history_by_meter;"
                "DROP INDEX IF EXISTS history_by_time;"
                "PRAGMA user_version=3;"
                "COMMIT;",
                &error);
}

std::uint64_t HistoryStore::freeDiskBytes() const { return freeDiskBytesAt(path_); }

std::int64_t HistoryStore::budgetBytes() const {
    const std::uint64_t reserve = walReserveBytes(options_.maxBytes) + kShmReserve;
    return options_.maxBytes > reserve ? static_cast<std::int64_t>(options_.maxBytes - reserve) : 0;
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
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
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
            stopped_ = true;
        }
        // Slots are reused with their buffers: a round allocates nothing here.
        if (queued_ == queue_.size()) queue_.emplace_back();
        Pending& slot = queue_[queued_++];
        slot.dataId = dataId;
        slot.unixMs = unixMs;
        slot.time.assign(time);
        slot.record.assign(data, data + length);
        ++queuedTotal_;
        wake = wake || queued_ == batchLimit_;
    }
    if (late)
        std::cerr << "vedhost: history: storing stopped: the disk does not keep up" << std::endl;
    if (wake || late) queueChanged_.notify_all();
    return true;
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

void HistoryStore::writerLoop() {
    const auto window = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(options_.commitSeconds));
    // A commit holds at most a quarter of the WAL's checkpoint size.
    const std::size_t maxBatch = batchLimit_;
    std::vector<Pending> taken;  // the queue's slots while they are written
    std::unique_lock<std::mutex> lock(queueMutex_);
    for (;;) {
        const bool due = queued_ > 0 && (stopping_ || flushing_ || queued_ >= maxBatch ||
                                         std::chrono::steady_clock::now() - firstQueued_ >= window);
        if (!due && !moreWork_) {
            if (stopping_) break;
            if (queued_ == 0)
                queueChanged_.wait(lock);
            else
                queueChanged_.wait_until(lock, firstQueued_ + window);
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
        {
            std::lock_guard<std::mutex> db(dbMutex_);
            stored = writeBatch(batch, count, full, error, 1);
            if (!stored && full) {
                // The cap or a full disk (then the file stops growing):
                // room made for four times as much, and one more try.
                stored = writeBatch(batch, count, full, error, 4);
            }
            if (stored) checkpointIfDue();
        }
        lock.lock();
        writtenTotal_ += count;
        if (count > 0) {
            if (!stored) {
                notStored_ += static_cast<long>(count);
                notStoredSinceStop_ += static_cast<long>(count);
            }
            const bool wasStopped = stopped_;
            const long lost = notStoredSinceStop_;
            stopped_ = !stored;
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
        exec(db_, "ROLLBACK");
        return false;
    };
    if (!exec(db_, "BEGIN IMMEDIATE")) return fail();
    for (const Pending& p : Range{batch, count}) now_ = std::max(now_, p.unixMs / 1000);
    makeRoom(need, limit);
    if (!insertBatch(batch, count)) return fail();
    for (const Pending& p : Range{batch, count}) meters_.insert(p.dataId);
    bool more = false;
    if (!consolidate(more)) return fail();
    if (now_ - lastAgeTrim_ >= 3600 && !trimTiersByAge()) return fail();
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

// Makes the steps of each tier that have ended, for every meter: from the
// full records for the first tier, from the tier before for the others. A
// tier never runs ahead of the one it is made from.
bool HistoryStore::consolidate(bool& more) {
    more = false;
    if (tiers_.empty()) return true;
    const auto ids = meters();
    std::map<std::int64_t, std::vector<ConsolidatedSignal>> layouts;  // by layout id
    auto layoutOf = [&](std::int64_t id) -> const std::vector<ConsolidatedSignal>& {
        auto it = layouts.find(id);
        if (it != layouts.end()) return it->second;
        Statement get(db_, "SELECT signals FROM layouts WHERE id = ?");
        get.bind(1, id);
        return layouts[id] = get.row() ? parseLayout(get.text(0)) : layout_;
    };
    Statement put(db_,
                  "INSERT OR REPLACE INTO consolidated (step, data_id, start, count, layout, vals)"
                  " VALUES (?, ?, ?, ?, ?, ?)");
    for (unsigned dataId : ids) {
        std::int64_t sourceDone = now_;  // the full records are complete up to now
        for (std::size_t k = 0; k < tiers_.size(); ++k) {
            Tier& tier = tiers_[k];
            const std::int64_t step = tier.shape.step;
            auto known = tier.doneThrough.find(dataId);
            if (known == tier.doneThrough.end()) {
                Statement last(db_,
                               "SELECT max(start) FROM consolidated WHERE step = ? AND"
                               " data_id = ?");
                last.bind(1, step).bind(2, dataId);
                const std::int64_t begin = last.row() && !last.null(0)
                                               ? last.integer(0) + step
                                               : std::numeric_limits<std::int64_t>::min();
                known = tier.doneThrough.emplace(dataId, begin).first;
            }
            std::int64_t& done = known->second;
            // A step has ended once a round at or after its end is stored.
            const std::int64_t end = floorTo(std::min(now_, sourceDone), step);
            if (done >= end) {
                sourceDone = done;
                continue;
            }
            // The first source row at or after `done`, so a gap costs nothing.
            std::int64_t first;
            if (k == 0) {
                Statement s(db_,
                            "SELECT min(unix_ms) FROM history WHERE data_id = ? AND unix_ms >= ?");
                const std::int64_t from =
                    done == std::numeric_limits<std::int64_t>::min() ? done : done * 1000;
                s.bind(1, dataId).bind(2, from);
                if (!s.row() || s.null(0)) {
                    done = end;
                    sourceDone = done;
                    continue;
                }
                first = floorTo(s.integer(0) / 1000, step);
            } else {
                Statement s(db_,
                            "SELECT min(start) FROM consolidated WHERE step = ? AND data_id = ?"
                            " AND start >= ?");
                s.bind(1, tiers_[k - 1].shape.step).bind(2, dataId).bind(3, done);
                if (!s.row() || s.null(0)) {
                    done = end;
                    sourceDone = done;
                    continue;
                }
                first = floorTo(s.integer(0), step);
            }
            std::int64_t stop = end;
            if (first < end && (end - first) / step > kStepsPerCommit) {
                stop = first + kStepsPerCommit * step;
                more = true;
            }
            if (first >= stop) {
                done = std::max(done, first >= end ? end : done);
                sourceDone = done;
                continue;
            }
            // Walk the source rows in time order, one step at a time.
            std::optional<StepAccumulator> acc;
            std::int64_t accStart = 0;
            auto emit = [&]() -> bool {
                if (!acc || acc->count() == 0) return true;
                const auto v = acc->values();
                sqlite3_reset(put.get());
                put.bind(1, step).bind(2, dataId).bind(3, accStart).bind(4, acc->count());
                put.bind(5, layoutId_);
                sqlite3_bind_blob(put.get(), 6, v.data(),
                                  static_cast<int>(v.size() * sizeof(float)), SQLITE_STATIC);
                return put.done();
            };
            auto feed = [&](std::int64_t t) {
                const std::int64_t s = floorTo(t, step);
                if (!acc || s != accStart) {
                    if (!emit()) return false;
                    acc.emplace(layout_);
                    accStart = s;
                }
                return true;
            };
            if (k == 0) {
                Statement rows(db_,
                               "SELECT unix_ms, record, coding FROM history WHERE data_id = ? AND"
                               " unix_ms >= ? AND unix_ms < ? ORDER BY unix_ms");
                rows.bind(1, dataId).bind(2, first * 1000).bind(3, stop * 1000);
                while (rows.row()) {
                    if (!feed(floorTo(rows.integer(0), 1000) / 1000)) return false;
                    const auto bytes = recordBytes(rows.get(), 1, 2);
                    if (bytes.size() == kRecordBytes) acc->addRecord(bytes.data());
                }
            } else {
                Statement rows(db_,
                               "SELECT start, count, layout, vals FROM consolidated WHERE step = ?"
                               " AND data_id = ? AND start >= ? AND start < ? ORDER BY start");
                rows.bind(1, tiers_[k - 1].shape.step).bind(2, dataId).bind(3, first).bind(4, stop);
                while (rows.row()) {
                    if (!feed(rows.integer(0))) return false;
                    const auto& source = layoutOf(rows.integer(2));
                    const auto v = blobFloats(rows.get(), 3);
                    if (v.size() < layoutWidth(source)) continue;
                    acc->addRow(source, v.data(), rows.integer(1));
                }
            }
            if (!emit()) return false;
            done = stop;
            sourceDone = done;
        }
    }
    return true;
}

// Rows of each tier older than its span go, once an hour of record time.
bool HistoryStore::trimTiersByAge() {
    Statement drop(db_, "DELETE FROM consolidated WHERE step = ? AND start < ?");
    for (const Tier& tier : tiers_) {
        sqlite3_reset(drop.get());
        drop.bind(1, tier.shape.step).bind(2, now_ - tier.shape.span);
        if (!drop.done()) return false;
    }
    lastAgeTrim_ = now_;
    return true;
}

// Frees room in the file for `needBytes` more, within the cap (or within the
// file as it is, when the disk is full). Deletes in larger bites than needed
// so the next commits find free pages without deleting again.
bool HistoryStore::makeRoom(std::uint64_t needBytes, std::int64_t limitPages) {
    const std::int64_t pageSize = pageSize_;
    const std::int64_t needPages = static_cast<std::int64_t>(needBytes) / pageSize + 1;
    auto room = [&] {
        const std::int64_t pages = scalar(db_, "PRAGMA page_count");
        const std::int64_t free = scalar(db_, "PRAGMA freelist_count");
        return std::max<std::int64_t>(0, limitPages - pages) + free;
    };
    if (room() >= needPages) return true;
    const std::int64_t target = needPages + std::max<std::int64_t>(16, limitPages / 128);
    const std::int64_t floorMs = (now_ - options_.fullFloorSeconds) * 1000;
    // The full records older than the first tier has made are safe to drop.
    std::int64_t madeMs = std::numeric_limits<std::int64_t>::max();
    if (!tiers_.empty())
        for (const auto& [id, done] : tiers_[0].doneThrough)
            madeMs = std::min(
                madeMs, done == std::numeric_limits<std::int64_t>::min() ? madeMs : done * 1000);
    auto deleted = [&](Statement& stmt) { return stmt.done() && sqlite3_changes(db_) > 0; };
    // 1. Full records past the newest hour, oldest first.
    while (room() < target) {
        const std::int64_t bite = std::max<std::int64_t>(8, (target - room()) * 4);
        Statement drop(db_,
                       "DELETE FROM history WHERE id IN (SELECT id FROM history WHERE"
                       " unix_ms < ? ORDER BY id LIMIT ?)");
        drop.bind(1, std::min(floorMs, madeMs)).bind(2, bite);
        if (!deleted(drop)) break;
    }
    // 2. The oldest rows of each tier, a bite of each in turn.
    while (room() < target) {
        bool any = false;
        Statement steps(db_, "SELECT DISTINCT step FROM consolidated");
        std::vector<std::int64_t> present;
        while (steps.row()) present.push_back(steps.integer(0));
        for (std::int64_t step : present) {
            Statement drop(db_,
                           "DELETE FROM consolidated WHERE id IN (SELECT id FROM consolidated"
                           " WHERE step = ? ORDER BY start LIMIT 64)");
            drop.bind(1, step);
            any = deleted(drop) || any;
        }
        if (!any) break;
    }
    // 3. The remaining full records but each meter's newest.
    while (room() < target) {
        Statement drop(db_,
                       "DELETE FROM history WHERE id IN (SELECT id FROM history WHERE id NOT IN"
                       " (SELECT max(id) FROM history GROUP BY data_id) ORDER BY id LIMIT 256)");
        if (!deleted(drop)) break;
    }
    return room() >= needPages;
}

void HistoryStore::checkpointIfDue() {
    const std::int64_t frameBytes = pageSize_ + 24;
    if (walFrames_ * frameBytes < static_cast<std::int64_t>(checkpointBytes(options_.maxBytes)))
        return;
    int log = 0, copied = 0;
    // A passive checkpoint first; a reader that holds the WAL past its room
    // is waited for (the busy time-out) so the WAL starts over.
    const bool pressed = walFrames_ * frameBytes >=
                         static_cast<std::int64_t>(walReserveBytes(options_.maxBytes) * 3 / 4);
    sqlite3_wal_checkpoint_v2(db_, nullptr,
                              pressed ? SQLITE_CHECKPOINT_RESTART : SQLITE_CHECKPOINT_PASSIVE, &log,
                              &copied);
    if (log >= 0 && copied == log) walFrames_ = 0;
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
    if (reader_ == nullptr) {
        if (sqlite3_open_v2(path_.c_str(), &reader_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            sqlite3_close(reader_);
            reader_ = nullptr;
            return {};
        }
        sqlite3_busy_timeout(reader_, 2000);
    }
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

std::string localText(std::int64_t unixSeconds) {
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

}  // namespace vedhost

#include "quality/quality_store.h"

#include <json/reader.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "common/json_text.h"
#include "history/history_sql.h"

namespace vedhost::quality {
namespace {

using namespace history_sql;

// The tables' version, in quality_info; an interval's values are laid out
// as Interval says for this version.
constexpr int kSchemaVersion = 1;

const char* const kSchema =
    "BEGIN;"
    "CREATE TABLE IF NOT EXISTS quality_info (key TEXT PRIMARY KEY, value);"
    "CREATE TABLE IF NOT EXISTS quality_intervals ("
    " id INTEGER PRIMARY KEY,"
    " data_id INTEGER NOT NULL,"
    " start INTEGER NOT NULL,"
    " rounds INTEGER NOT NULL,"
    " vals BLOB NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS quality_intervals_at"
    " ON quality_intervals (data_id, start);"
    "CREATE TABLE IF NOT EXISTS quality_weeks ("
    " id INTEGER PRIMARY KEY,"
    " data_id INTEGER NOT NULL,"
    " start INTEGER NOT NULL,"
    " end INTEGER NOT NULL,"
    " week TEXT NOT NULL,"
    " pass INTEGER NOT NULL,"
    " body BLOB NOT NULL,"
    " body_bytes INTEGER NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS quality_weeks_at ON quality_weeks (data_id, start);"
    "INSERT OR IGNORE INTO quality_info (key, value) VALUES ('schema', 1);"
    "COMMIT;";

void bindText(Statement& s, int i, const std::string& text) {
    sqlite3_bind_text(s.get(), i, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void bindBlob(Statement& s, int i, const void* data, std::size_t bytes) {
    sqlite3_bind_blob(s.get(), i, data, static_cast<int>(bytes), SQLITE_TRANSIENT);
}

Interval readInterval(Statement& s, int startColumn) {
    Interval out;
    out.start = s.integer(startColumn);
    out.rounds = s.integer(startColumn + 1);
    const std::vector<float> v = blobFloats(s.get(), startColumn + 2);
    std::copy_n(v.begin(), std::min<std::size_t>(v.size(), out.values.size()), out.values.begin());
    return out;
}

// Two parts of the same ten minutes as one: each value weighed by the rounds
// of its part, squares for the aggregated values, plain for the frequency.
Interval joined(const Interval& a, const Interval& b) {
    Interval out;
    out.start = a.start;
    out.rounds = a.rounds + b.rounds;
    const double wa = static_cast<double>(a.rounds), wb = static_cast<double>(b.rounds);
    for (int i = 0; i < Interval::kCount; ++i) {
        const double x = a.values[i], y = b.values[i];
        if (std::isnan(x) || std::isnan(y)) {
            out.values[i] = std::isnan(x) ? b.values[i] : a.values[i];
            continue;
        }
        const bool squares = i < Interval::kFrequency;
        const double mean = squares ? std::sqrt((wa * x * x + wb * y * y) / (wa + wb))
                                    : (wa * x + wb * y) / (wa + wb);
        out.values[i] = static_cast<float>(mean);
    }
    return out;
}

std::vector<unsigned char> deflated(const std::string& text) {
    uLongf bytes = compressBound(static_cast<uLong>(text.size()));
    std::vector<unsigned char> out(bytes);
    if (compress2(out.data(), &bytes, reinterpret_cast<const Bytef*>(text.data()),
                  static_cast<uLong>(text.size()), Z_BEST_COMPRESSION) != Z_OK)
        return {};
    out.resize(bytes);
    return out;
}

Json::Value inflated(Statement& s, int column, std::int64_t bytes) {
    const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(s.get(), column));
    const int size = sqlite3_column_bytes(s.get(), column);
    if (bytes <= 0 || bytes > (64 << 20) || blob == nullptr) return Json::Value();
    std::string text(static_cast<std::size_t>(bytes), '\0');
    uLongf length = static_cast<uLongf>(bytes);
    if (uncompress(reinterpret_cast<Bytef*>(text.data()), &length, blob,
                   static_cast<uLong>(size)) != Z_OK ||
        length != static_cast<uLongf>(bytes))
        return Json::Value();
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value document;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &document, &errors))
        return Json::Value();
    return document;
}

bool hasTables(sqlite3* db) {
    return scalar(db,
                  "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN"
                  " ('quality_intervals', 'quality_weeks')") == 2;
}

}  // namespace

QualityStore::~QualityStore() {
    sqlite3_close(reader_);
    sqlite3_close(db_);
}

bool QualityStore::open(const std::string& path, bool readOnly, std::uint64_t maxBytes,
                        std::string& error) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    path_ = path;
    memory_ = path.empty() || path == ":memory:";
    readOnly_ = readOnly;
    maxBytes_ = maxBytes;
    return openNow(error) || (!readOnly && refused_ != Refusal::None);
}

bool QualityStore::openNow(std::string& error) {
    refused_ = Refusal::None;
    const int flags = readOnly_ ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    // The history's writer commits beside this connection; its longest
    // commit (a backlog of tier steps) is waited for.
    if (!openFile(path_, flags, 5000, db_, &error, &refused_)) return false;
    std::string why;
    if (!prepare(readOnly_, why)) {
        error = "history " + path_ + ": quality tables: " + why;
        if (refused_ == Refusal::None) refused_ = refusalOf(db_, path_);
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    if (!readOnly_) {
        // Within the history's cap: the same budget of pages (the history
        // keeps a file of an older release that is larger at its size).
        const int pageSize = static_cast<int>(scalar(db_, "PRAGMA page_size", 4096));
        const std::int64_t capPages =
            static_cast<std::int64_t>(databaseBudgetBytes(maxBytes_)) / pageSize;
        const std::int64_t pages = scalar(db_, "PRAGMA page_count");
        exec(db_, ("PRAGMA max_page_count=" + std::to_string(std::max(pages, capPages))).c_str());
        // Checkpoints at the history's size for them.
        exec(db_, ("PRAGMA wal_autocheckpoint=" +
                   std::to_string(checkpointBytes(maxBytes_) / static_cast<unsigned>(pageSize)))
                      .c_str());
    }
    return true;
}

bool QualityStore::prepare(bool readOnly, std::string& error) {
    if (readOnly) {
        tables_ = hasTables(db_);
        if (tables_ && scalar(db_, "SELECT value FROM quality_info WHERE key = 'schema'", 0) >
                           kSchemaVersion) {
            error = "written by a newer release";
            return false;
        }
        return true;
    }
    if (!memory_ && !exec(db_, "PRAGMA journal_mode=WAL", &error)) return false;
    if (!exec(db_, "PRAGMA synchronous=FULL", &error)) return false;
    if (!exec(db_, kSchema, &error)) {
        refused_ = refusalOf(db_, path_);  // before the rollback answers in its place
        exec(db_, "ROLLBACK");
        return false;
    }
    if (scalar(db_, "SELECT value FROM quality_info WHERE key = 'schema'", 0) > kSchemaVersion) {
        error = "written by a newer release";
        return false;
    }
    tables_ = true;
    return true;
}

bool QualityStore::writable(std::string& error) {
    if (readOnly_) {
        error = "the quality tables are not open for writing";
        return false;
    }
    return db_ != nullptr || openNow(error);
}

sqlite3* QualityStore::reader() {
    if (memory_ || readOnly_) return db_;
    if (reader_ == nullptr && !openFile(path_, SQLITE_OPEN_READONLY, 2000, reader_)) return nullptr;
    return reader_;
}

bool QualityStore::putIntervals(const std::vector<std::pair<unsigned, Interval>>& intervals,
                                bool& full, std::string& error) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    full = false;
    if (!writable(error)) return false;
    auto fail = [&] {
        full = (sqlite3_extended_errcode(db_) & 0xff) == SQLITE_FULL;
        error = sqlite3_errmsg(db_);
        exec(db_, "ROLLBACK");
        return false;
    };
    if (!exec(db_, "BEGIN IMMEDIATE")) return fail();
    Statement get(db_,
                  "SELECT start, rounds, vals FROM quality_intervals WHERE data_id = ? AND"
                  " start = ?");
    Statement put(db_,
                  "INSERT OR REPLACE INTO quality_intervals (data_id, start, rounds, vals)"
                  " VALUES (?, ?, ?, ?)");
    for (const auto& [dataId, interval] : intervals) {
        Interval row = interval;
        sqlite3_reset(get.get());
        get.bind(1, dataId).bind(2, interval.start);
        if (get.row()) row = joined(readInterval(get, 0), interval);
        sqlite3_reset(put.get());
        put.bind(1, dataId).bind(2, row.start).bind(3, row.rounds);
        bindBlob(put, 4, row.values.data(), row.values.size() * sizeof(float));
        if (!put.done()) return fail();
    }
    if (!exec(db_, "COMMIT")) return fail();
    return true;
}

bool QualityStore::putWeek(const Assessment& a, const Json::Value& document, bool& full,
                           std::string& error) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    full = false;
    if (!writable(error)) return false;
    const std::string text = compactJson(document);
    const std::vector<unsigned char> body = deflated(text);
    if (body.empty()) {
        error = "cannot deflate the assessment";
        return false;
    }
    Statement put(db_,
                  "INSERT OR REPLACE INTO quality_weeks (data_id, start, end, week, pass, body,"
                  " body_bytes) VALUES (?, ?, ?, ?, ?, ?, ?)");
    put.bind(1, a.dataId).bind(2, a.week.start).bind(3, a.week.end);
    bindText(put, 4, a.week.label());
    put.bind(5, a.pass() ? 1 : 0);
    bindBlob(put, 6, body.data(), body.size());
    put.bind(7, static_cast<std::int64_t>(text.size()));
    if (!put.done()) {
        full = (sqlite3_extended_errcode(db_) & 0xff) == SQLITE_FULL;
        error = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool QualityStore::trim(std::int64_t intervalsBefore, std::int64_t weeksBefore) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (db_ == nullptr || readOnly_) return false;
    Statement intervals(db_, "DELETE FROM quality_intervals WHERE start < ?");
    intervals.bind(1, intervalsBefore);
    Statement weeks(db_, "DELETE FROM quality_weeks WHERE start < ?");
    weeks.bind(1, weeksBefore);
    return intervals.done() && weeks.done();
}

int QualityStore::dropOldest(std::int64_t keepFrom, int rows) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (db_ == nullptr || readOnly_) return 0;
    Statement drop(db_,
                   "DELETE FROM quality_intervals WHERE id IN (SELECT id FROM quality_intervals"
                   " WHERE start < ? ORDER BY start LIMIT ?)");
    drop.bind(1, keepFrom).bind(2, rows);
    return drop.done() ? sqlite3_changes(db_) : 0;
}

// Every read takes the reader's lock (the writer's, for a store in memory
// or opened read-only, which reads through its one connection).
QualityStore::Read QualityStore::read() {
    Read r{std::unique_lock<std::mutex>(memory_ || readOnly_ ? writeMutex_ : readMutex_), nullptr};
    if (tables_) r.db = reader();
    return r;
}

std::vector<Interval> QualityStore::intervals(unsigned dataId, std::int64_t from, std::int64_t to) {
    const Read r = read();
    if (r.db == nullptr) return {};
    std::vector<Interval> out;
    Statement s(r.db,
                "SELECT start, rounds, vals FROM quality_intervals WHERE data_id = ? AND"
                " start >= ? AND start < ? ORDER BY start");
    s.bind(1, dataId).bind(2, from).bind(3, to);
    while (s.row()) out.push_back(readInterval(s, 0));
    return out;
}

std::vector<std::pair<unsigned, Interval>> QualityStore::intervals(std::optional<unsigned> dataId,
                                                                   std::optional<std::int64_t> from,
                                                                   std::optional<std::int64_t> to) {
    const Read r = read();
    if (r.db == nullptr) return {};
    std::vector<std::pair<unsigned, Interval>> out;
    std::string sql = "SELECT data_id, start, rounds, vals FROM quality_intervals WHERE 1";
    if (dataId) sql += " AND data_id = ?1";
    if (from) sql += " AND start >= ?2";
    if (to) sql += " AND start < ?3";
    sql += " ORDER BY start, data_id";
    Statement s(r.db, sql.c_str());
    if (dataId) s.bind(1, *dataId);
    if (from) s.bind(2, *from);
    if (to) s.bind(3, *to);
    while (s.row()) out.emplace_back(static_cast<unsigned>(s.integer(0)), readInterval(s, 1));
    return out;
}

std::optional<std::int64_t> QualityStore::firstInterval(unsigned dataId, std::int64_t from) {
    const Read r = read();
    if (r.db == nullptr) return {};
    Statement s(r.db, "SELECT min(start) FROM quality_intervals WHERE data_id = ? AND start >= ?");
    s.bind(1, dataId).bind(2, from);
    if (!s.row() || s.null(0)) return std::nullopt;
    return s.integer(0);
}

std::optional<std::int64_t> QualityStore::lastInterval(unsigned dataId) {
    const Read r = read();
    if (r.db == nullptr) return {};
    Statement s(r.db, "SELECT max(start) FROM quality_intervals WHERE data_id = ?");
    s.bind(1, dataId);
    if (!s.row() || s.null(0)) return std::nullopt;
    return s.integer(0);
}

std::optional<std::int64_t> QualityStore::assessedThrough(unsigned dataId) {
    const Read r = read();
    if (r.db == nullptr) return {};
    Statement s(r.db, "SELECT max(end) FROM quality_weeks WHERE data_id = ?");
    s.bind(1, dataId);
    if (!s.row() || s.null(0)) return std::nullopt;
    return s.integer(0);
}

std::optional<StoredWeek> QualityStore::week(unsigned dataId, std::int64_t start) {
    const Read r = read();
    if (r.db == nullptr) return {};
    Statement s(r.db,
                "SELECT start, end, week, pass, body, body_bytes FROM quality_weeks WHERE"
                " data_id = ? AND start = ?");
    s.bind(1, dataId).bind(2, start);
    if (!s.row()) return std::nullopt;
    StoredWeek w{dataId, s.integer(0), s.integer(1), s.text(2), s.integer(3) != 0, {}};
    w.document = inflated(s, 4, s.integer(5));
    return w;
}

std::vector<StoredWeek> QualityStore::weeks(unsigned dataId) {
    const Read r = read();
    if (r.db == nullptr) return {};
    std::vector<StoredWeek> out;
    Statement s(r.db,
                "SELECT start, end, week, pass FROM quality_weeks WHERE data_id = ?"
                " ORDER BY start");
    s.bind(1, dataId);
    while (s.row())
        out.push_back({dataId, s.integer(0), s.integer(1), s.text(2), s.integer(3) != 0, {}});
    return out;
}

std::vector<unsigned> QualityStore::meters() {
    const Read r = read();
    if (r.db == nullptr) return {};
    std::vector<unsigned> out;
    Statement s(r.db,
                "SELECT data_id FROM quality_intervals UNION SELECT data_id FROM quality_weeks"
                " ORDER BY 1");
    while (s.row()) out.push_back(static_cast<unsigned>(s.integer(0)));
    return out;
}

}  // namespace vedhost::quality

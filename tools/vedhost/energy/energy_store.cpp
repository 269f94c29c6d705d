#include "energy/energy_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <iostream>
#include <map>

#include "common/local_time.h"
#include "history/history_sql.h"

namespace vedhost::energy {
namespace {

using history_sql::exec;
using history_sql::scalar;
using history_sql::Statement;

// The energy tables' upgrades, one row per version: a database at version
// N runs the rows after N. Version 1 is the first.
struct Migration {
    int version;
    const char* sql;
};
constexpr Migration kMigrations[] = {
    {1,
     "CREATE TABLE IF NOT EXISTS energy_ledger ("
     " data_id INTEGER NOT NULL, counter TEXT NOT NULL, epoch INTEGER NOT NULL,"
     " total INTEGER NOT NULL, raw INTEGER NOT NULL, at_ms INTEGER NOT NULL, power REAL NOT NULL,"
     " PRIMARY KEY (data_id, counter)) WITHOUT ROWID;"
     "CREATE TABLE IF NOT EXISTS energy_hours ("
     " data_id INTEGER NOT NULL, counter TEXT NOT NULL, start INTEGER NOT NULL,"
     " units REAL NOT NULL, estimated REAL NOT NULL,"
     " PRIMARY KEY (data_id, counter, start)) WITHOUT ROWID;"
     "CREATE TABLE IF NOT EXISTS energy_days ("
     " data_id INTEGER NOT NULL, counter TEXT NOT NULL, start INTEGER NOT NULL,"
     " band TEXT NOT NULL, units REAL NOT NULL, estimated REAL NOT NULL,"
     " PRIMARY KEY (data_id, counter, start, band)) WITHOUT ROWID;"
     "CREATE TABLE IF NOT EXISTS energy_audit ("
     " id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, counter TEXT NOT NULL,"
     " at_ms INTEGER NOT NULL, time TEXT NOT NULL, kind TEXT NOT NULL,"
     " old_raw INTEGER NOT NULL, new_raw INTEGER NOT NULL, epoch INTEGER NOT NULL,"
     " total INTEGER NOT NULL);"
     "CREATE TABLE IF NOT EXISTS energy_demand ("
     " data_id INTEGER NOT NULL, month_start INTEGER NOT NULL, kw REAL NOT NULL,"
     " window_start INTEGER NOT NULL, window_end INTEGER NOT NULL,"
     " PRIMARY KEY (data_id, month_start)) WITHOUT ROWID;"},
};
constexpr int kVersion = 1;

// What a commit writes, each statement prepared once and kept.
enum WriteStatement { kPutHour, kPutDay, kPutLedger, kPutAudit, kPutPeak, kWriteStatements };
constexpr const char* kWriteSql[kWriteStatements] = {
    "INSERT INTO energy_hours (data_id, counter, start, units, estimated)"
    " VALUES (?, ?, ?, ?, ?) ON CONFLICT (data_id, counter, start) DO UPDATE"
    " SET units = units + excluded.units, estimated = estimated + excluded.estimated",
    "INSERT INTO energy_days (data_id, counter, start, band, units, estimated)"
    " VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (data_id, counter, start, band)"
    " DO UPDATE SET units = units + excluded.units, estimated = estimated + excluded.estimated",
    "INSERT OR REPLACE INTO energy_ledger (data_id, counter, epoch, total, raw, at_ms, power)"
    " VALUES (?, ?, ?, ?, ?, ?, ?)",
    "INSERT INTO energy_audit (data_id, counter, at_ms, time, kind, old_raw, new_raw, epoch,"
    " total) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
    "INSERT OR REPLACE INTO energy_demand (data_id, month_start, kw, window_start, window_end)"
    " VALUES (?, ?, ?, ?, ?)",
};

const char* kindText(StepKind kind) { return kind == StepKind::Wrap ? "wrap" : "epoch"; }

std::int64_t counterOf(const std::string& id) {
    const auto i = counterIndex(id);
    return i ? static_cast<std::int64_t>(*i) : -1;
}

void bindText(Statement& s, int i, const char* text) {
    sqlite3_bind_text(s.get(), i, text, -1, SQLITE_TRANSIENT);
}

void bindReal(Statement& s, int i, double v) { sqlite3_bind_double(s.get(), i, v); }

bool step(Statement& s) {
    const bool ok = sqlite3_step(s.get()) == SQLITE_DONE;
    sqlite3_reset(s.get());
    sqlite3_clear_bindings(s.get());
    return ok;
}

}  // namespace

EnergyStore::EnergyStore() = default;

EnergyStore::~EnergyStore() {
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (writer_.joinable()) writer_.join();
    for (auto& w : writes_) w.reset();
    sqlite3_close(db_);
}

bool EnergyStore::open(const std::string& path, bool readOnly, std::string& error,
                       const EnergyStoreOptions& options) {
    std::lock_guard<std::mutex> lock(dbMutex_);
    options_ = options;
    path_ = path;
    if (openNow(readOnly, error)) {
        ready_ = true;
    } else {
        if (readOnly || refused_ == history_sql::Refusal::None) return false;
        awaitingFile_ = true;  // the writer opens it once the storage takes writes
        retry_.start();
    }
    if (!readOnly) {
        writable_ = true;
        writer_ = std::thread([this] { writerLoop(); });
    }
    return true;
}

bool EnergyStore::openNow(bool readOnly, std::string& error) {
    refused_ = history_sql::Refusal::None;
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    // The history's writer shares the file: a commit of either waits for
    // the other's, which takes milliseconds.
    if (!history_sql::openFile(path_, flags, 5000, db_, &error, &refused_)) return false;
    std::string why;
    if (!prepare(readOnly, why)) {
        error = "energy tables of " + path_ + ": " + why;
        if (refused_ == history_sql::Refusal::None) refused_ = history_sql::refusalOf(db_, path_);
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    return true;
}

bool EnergyStore::prepare(bool readOnly, std::string& error) {
    const bool tables = scalar(db_,
                               "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND"
                               " name = 'energy_meta'") > 0;
    int version = 0;
    if (tables) {
        Statement v(db_, "SELECT value FROM energy_meta WHERE key = 'version'");
        if (v.row()) version = static_cast<int>(v.integer(0));
    }
    if (readOnly) {
        hasTables_ = version >= 1;
        return true;
    }
    if (version > kVersion) {
        error = "made by a newer release (version " + std::to_string(version) + ")";
        return false;
    }
    // The history has made the file a WAL database already; a file of our
    // own (tests, a history kept elsewhere) is made one here.
    exec(db_, "PRAGMA journal_mode=WAL");
    if (!exec(db_, "PRAGMA synchronous=FULL; PRAGMA wal_autocheckpoint=0;", &error)) return false;
    if (!exec(db_, "BEGIN IMMEDIATE", &error)) return false;
    bool ok =
        exec(db_, "CREATE TABLE IF NOT EXISTS energy_meta (key TEXT PRIMARY KEY, value)", &error);
    for (const Migration& m : kMigrations)
        if (ok && m.version > version) ok = exec(db_, m.sql, &error);
    if (ok) {
        Statement put(db_, "INSERT OR REPLACE INTO energy_meta (key, value) VALUES ('version', ?)");
        put.bind(1, kVersion);
        ok = put.done();
    }
    if (!ok || !exec(db_, "COMMIT", &error)) {
        refused_ = history_sql::refusalOf(db_, path_);  // before the rollback answers
        exec(db_, "ROLLBACK");
        return false;
    }
    hasTables_ = true;
    newest_ = scalar(db_, "SELECT max(at_ms) FROM energy_ledger", 0) / 1000;
    lastTrim_ = 0;
    return true;
}

void EnergyStore::queue(Changes&& changes) {
    if (!writable_ || changes.empty()) return;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        if (pending_.empty()) {
            firstQueued_ = std::chrono::steady_clock::now();
            wake = true;
        }
        pending_.append(std::move(changes));
        ++queued_;
    }
    if (wake) changed_.notify_all();
}

void EnergyStore::flush() {
    std::unique_lock<std::mutex> lock(queueMutex_);
    if (!writer_.joinable()) return;
    const std::uint64_t target = queued_;
    flushing_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return handled_ >= target; });
    flushing_ = false;
}

void EnergyStore::writerLoop() {
    const auto window = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(options_.commitSeconds));
    std::unique_lock<std::mutex> lock(queueMutex_);
    for (;;) {
        if (awaitingFile_ && !stopping_ && retry_.isDue()) {
            // The file the storage refused, tried again.
            awaitingFile_ = !retry_.tryAgain(lock, dbMutex_, [this] {
                std::string error;
                return openNow(false, error);
            });
            if (!awaitingFile_) ready_ = true;
            continue;
        }
        const bool waiting = !pending_.empty();
        const bool due = waiting && (stopping_ || flushing_ ||
                                     std::chrono::steady_clock::now() - firstQueued_ >= window);
        if (!due) {
            if (stopping_) break;
            if (!waiting && flushing_) {
                handled_ = queued_;
                changed_.notify_all();
            }
            auto until = firstQueued_ + window;
            if (awaitingFile_) until = waiting ? std::min(until, retry_.due()) : retry_.due();
            if (waiting || awaitingFile_)
                changed_.wait_until(lock, until);
            else
                changed_.wait(lock);
            continue;
        }
        inFlight_ = std::move(pending_);
        pending_ = Changes();
        const std::uint64_t taken = queued_;
        lock.unlock();
        std::string error;
        {
            std::lock_guard<std::mutex> db(dbMutex_);
            const bool ok = write(inFlight_, error);
            lock.lock();
            if (!ok) {
                // Kept for the next commit, older changes first.
                inFlight_.append(std::move(pending_));
                pending_ = std::move(inFlight_);
                firstQueued_ = std::chrono::steady_clock::now();
            }
            inFlight_ = Changes();
            if (!ok && !stopped_)
                std::cerr << "vedhost: energy: storing stopped: " << error
                          << "; the changes are kept and tried again" << std::endl;
            if (ok && stopped_) std::cerr << "vedhost: energy: storing again" << std::endl;
            stopped_ = !ok;
            if (!ok && stopping_)
                std::cerr << "vedhost: energy: the last changes were not stored" << std::endl;
        }
        handled_ = std::max(handled_, taken);
        changed_.notify_all();
        if (stopping_ && stopped_) break;
    }
}

bool EnergyStore::write(const Changes& c, std::string& error) {
    if (db_ == nullptr) {  // the storage refused the file: kept for when it opens
        error = "the energy tables are not open";
        return false;
    }
    const auto fail = [&] {
        error = sqlite3_errmsg(db_);
        exec(db_, "ROLLBACK");
        return false;
    };
    for (int w = 0; w < kWriteStatements; ++w) {
        if (!writes_[w]) writes_[w] = std::make_unique<Statement>(db_, kWriteSql[w]);
        if (!*writes_[w]) {  // not prepared (the file busy, say): again next time
            writes_[w].reset();
            return fail();
        }
    }
    if (!exec(db_, "BEGIN IMMEDIATE")) return fail();
    {
        Statement& put = *writes_[kPutHour];
        for (const auto& [k, a] : c.hours) {
            put.bind(1, k.dataId);
            bindText(put, 2, kCounterInfo[k.counter].id);
            put.bind(3, k.start);
            bindReal(put, 4, a.units);
            bindReal(put, 5, a.estimated);
            if (!step(put)) return fail();
        }
    }
    {
        Statement& put = *writes_[kPutDay];
        for (const auto& [k, a] : c.days) {
            put.bind(1, k.dataId);
            bindText(put, 2, kCounterInfo[k.counter].id);
            put.bind(3, k.start);
            bindText(put, 4, k.band.c_str());
            bindReal(put, 5, a.units);
            bindReal(put, 6, a.estimated);
            if (!step(put)) return fail();
        }
    }
    {
        Statement& put = *writes_[kPutLedger];
        for (const auto& [k, s] : c.ledger) {
            if (!s.known) continue;
            put.bind(1, k.first);
            bindText(put, 2, kCounterInfo[k.second].id);
            put.bind(3, s.epoch).bind(4, s.total).bind(5, s.raw).bind(6, s.atMs);
            bindReal(put, 7, s.power);
            if (!step(put)) return fail();
            newest_ = std::max(newest_, s.atMs / 1000);
        }
    }
    {
        Statement& put = *writes_[kPutAudit];
        for (const AuditRow& a : c.audit) {
            put.bind(1, a.dataId);
            bindText(put, 2, kCounterInfo[a.counter].id);
            put.bind(3, a.atMs);
            bindText(put, 4, localText(secondsOf(a.atMs)).c_str());
            bindText(put, 5, kindText(a.kind));
            put.bind(6, a.oldRaw).bind(7, a.newRaw).bind(8, a.epoch).bind(9, a.total);
            if (!step(put)) return fail();
        }
    }
    {
        Statement& put = *writes_[kPutPeak];
        for (const auto& [k, p] : c.peaks) {
            put.bind(1, p.dataId).bind(2, p.monthStart);
            bindReal(put, 3, p.kw);
            put.bind(4, p.windowStart).bind(5, p.windowEnd);
            if (!step(put)) return fail();
        }
    }
    // Rows past their span go once an hour of data.
    if (newest_ - lastTrim_ >= 3600) {
        Statement hours(db_, "DELETE FROM energy_hours WHERE start < ?");
        hours.bind(1, newest_ - options_.hourSpan);
        Statement days(db_, "DELETE FROM energy_days WHERE start < ?");
        days.bind(1, newest_ - options_.daySpan);
        Statement peaks(db_, "DELETE FROM energy_demand WHERE month_start < ?");
        peaks.bind(1, newest_ - options_.daySpan);
        if (!hours.done() || !days.done() || !peaks.done()) return fail();
        lastTrim_ = newest_;
    }
    if (!exec(db_, "COMMIT")) return fail();
    return true;
}

std::vector<unsigned> EnergyStore::meters() {
    std::vector<unsigned> out;
    std::lock_guard<std::mutex> db(dbMutex_);
    if (hasTables_) {
        Statement s(db_, "SELECT DISTINCT data_id FROM energy_ledger ORDER BY data_id");
        while (s.row()) out.push_back(static_cast<unsigned>(s.integer(0)));
    }
    std::lock_guard<std::mutex> lock(queueMutex_);
    for (const Changes* c : {&inFlight_, &pending_})
        for (const auto& [k, s] : c->ledger)
            if (std::find(out.begin(), out.end(), k.first) == out.end()) out.push_back(k.first);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::pair<std::size_t, CounterState>> EnergyStore::ledger(unsigned dataId) {
    std::map<std::size_t, CounterState> states;
    std::lock_guard<std::mutex> db(dbMutex_);
    if (hasTables_) {
        Statement s(db_,
                    "SELECT counter, epoch, total, raw, at_ms, power FROM energy_ledger"
                    " WHERE data_id = ?");
        s.bind(1, dataId);
        while (s.row()) {
            const std::int64_t counter = counterOf(s.text(0));
            if (counter < 0) continue;
            CounterState state;
            state.known = true;
            state.epoch = static_cast<std::uint32_t>(s.integer(1));
            state.total = s.integer(2);
            state.raw = static_cast<std::uint16_t>(s.integer(3));
            state.atMs = s.integer(4);
            state.power = sqlite3_column_double(s.get(), 5);
            states[static_cast<std::size_t>(counter)] = state;
        }
    }
    std::lock_guard<std::mutex> lock(queueMutex_);
    for (const Changes* c : {&inFlight_, &pending_})
        for (const auto& [k, s] : c->ledger)
            if (k.first == dataId) states[k.second] = s;
    return {states.begin(), states.end()};
}

std::vector<UsageRow> EnergyStore::usage(const char* table, unsigned dataId, std::size_t counter,
                                         std::int64_t from, std::int64_t to) {
    const bool days = std::string(table) == "energy_days";
    std::map<std::pair<std::int64_t, std::string>, Amount> rows;
    std::lock_guard<std::mutex> db(dbMutex_);
    if (hasTables_ && counter < kCounters) {
        const std::string sql = std::string("SELECT start, ") + (days ? "band" : "''") +
                                ", units, estimated FROM " + table +
                                " WHERE data_id = ? AND counter = ? AND start >= ? AND start < ?"
                                " ORDER BY start";
        Statement s(db_, sql.c_str());
        s.bind(1, dataId);
        bindText(s, 2, kCounterInfo[counter].id);
        s.bind(3, from).bind(4, to);
        while (s.row())
            rows[{s.integer(0), s.text(1)}] = {sqlite3_column_double(s.get(), 2),
                                               sqlite3_column_double(s.get(), 3)};
    }
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        for (const Changes* c : {&inFlight_, &pending_})
            for (const auto& [k, a] : days ? c->days : c->hours)
                if (k.dataId == dataId && k.counter == counter && k.start >= from && k.start < to)
                    rows[{k.start, k.band}] += a;
    }
    std::vector<UsageRow> out;
    out.reserve(rows.size());
    for (const auto& [k, a] : rows) out.push_back({k.first, k.second, a});
    return out;
}

std::vector<UsageRow> EnergyStore::hours(unsigned dataId, std::size_t counter, std::int64_t from,
                                         std::int64_t to) {
    return usage("energy_hours", dataId, counter, from, to);
}

std::vector<UsageRow> EnergyStore::days(unsigned dataId, std::size_t counter, std::int64_t from,
                                        std::int64_t to) {
    return usage("energy_days", dataId, counter, from, to);
}

std::vector<DemandPeak> EnergyStore::peaks(unsigned dataId, std::int64_t from, std::int64_t to) {
    std::map<std::int64_t, DemandPeak> found;
    std::lock_guard<std::mutex> db(dbMutex_);
    if (hasTables_) {
        Statement s(db_,
                    "SELECT month_start, kw, window_start, window_end FROM energy_demand"
                    " WHERE data_id = ? AND month_start >= ? AND month_start < ?"
                    " ORDER BY month_start");
        s.bind(1, dataId).bind(2, from).bind(3, to);
        while (s.row())
            found[s.integer(0)] = {dataId, s.integer(0), sqlite3_column_double(s.get(), 1),
                                   s.integer(2), s.integer(3)};
    }
    std::lock_guard<std::mutex> lock(queueMutex_);
    for (const Changes* c : {&inFlight_, &pending_})
        for (const auto& [k, p] : c->peaks)
            if (k.first == dataId && k.second >= from && k.second < to) found[k.second] = p;
    std::vector<DemandPeak> out;
    for (const auto& [month, p] : found) out.push_back(p);
    return out;
}

std::vector<AuditRow> EnergyStore::audit(std::optional<unsigned> dataId) {
    std::vector<AuditRow> out;
    std::lock_guard<std::mutex> db(dbMutex_);
    if (hasTables_) {
        Statement s(db_,
                    "SELECT data_id, counter, at_ms, kind, old_raw, new_raw, epoch, total"
                    " FROM energy_audit ORDER BY id");
        while (s.row()) {
            const unsigned id = static_cast<unsigned>(s.integer(0));
            const std::int64_t counter = counterOf(s.text(1));
            if ((dataId && id != *dataId) || counter < 0) continue;
            out.push_back({id, static_cast<std::size_t>(counter), s.integer(2),
                           s.text(3) == "wrap" ? StepKind::Wrap : StepKind::NewEpoch,
                           static_cast<std::uint16_t>(s.integer(4)),
                           static_cast<std::uint16_t>(s.integer(5)),
                           static_cast<std::uint32_t>(s.integer(6)), s.integer(7)});
        }
    }
    std::lock_guard<std::mutex> lock(queueMutex_);
    for (const Changes* c : {&inFlight_, &pending_})
        for (const AuditRow& a : c->audit)
            if (!dataId || a.dataId == *dataId) out.push_back(a);
    return out;
}

}  // namespace vedhost::energy

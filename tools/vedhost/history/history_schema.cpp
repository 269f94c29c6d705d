// The history database's schema: made or checked at open, and a database of
// an earlier release brought up to date with every record kept.
#include "history/history_sql.h"
#include "history/history_store.h"

namespace vedhost {
namespace {

using namespace history_sql;

constexpr int kSchemaVersion = 3;
// Migration: rows given their unix time per transaction.
constexpr int kMigrateChunk = 4000;

// SQL function local_ms(text): the stored local time text as unix ms; 0
// for a text that is no time, so such a row sorts as the oldest.
void localMsFunction(sqlite3_context* context, int, sqlite3_value** argv) {
    const auto ms = localTextToUnixMs(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])));
    sqlite3_result_int64(context, ms.value_or(0));
}

int walHook(void* frames, sqlite3*, const char*, int count) {
    *static_cast<std::int64_t*>(frames) = count;
    return SQLITE_OK;
}

}  // namespace

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
        refused_ = refusalOf(db_, path_);  // before the rollback answers in its place
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

    tiers_.clear();
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
}  // namespace vedhost

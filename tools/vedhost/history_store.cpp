#include "history_store.h"

#include <sqlite3.h>

namespace vedhost {
namespace {

// A prepared statement, finalised on every path.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }
    explicit operator bool() const { return stmt_ != nullptr; }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

HistoryRow readRow(sqlite3_stmt* stmt) {
    HistoryRow row;
    row.id = sqlite3_column_int64(stmt, 0);
    row.dataId = static_cast<unsigned>(sqlite3_column_int64(stmt, 1));
    const auto* time = sqlite3_column_text(stmt, 2);
    row.time = time != nullptr ? reinterpret_cast<const char*>(time) : "";
    const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, 3));
    row.record.assign(blob, blob + sqlite3_column_bytes(stmt, 3));
    return row;
}

}  // namespace

HistoryStore::~HistoryStore() {
    sqlite3_finalize(insert_);
    sqlite3_close(db_);
}

bool HistoryStore::open(const std::string& path, bool readOnly, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        error = "cannot open history " + path + ": " + sqlite3_errmsg(db_);
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    sqlite3_busy_timeout(db_, 2000);
    const char* schema =
        "CREATE TABLE IF NOT EXISTS history ("
        " id INTEGER PRIMARY KEY AUTOINCREMENT,"
        " data_id INTEGER NOT NULL,"
        " time TEXT NOT NULL,"
        " record BLOB NOT NULL);"
        "CREATE INDEX IF NOT EXISTS history_by_meter ON history (data_id, id);";
    char* message = nullptr;
    const int rc =
        readOnly ? sqlite3_exec(db_, "SELECT count(*) FROM history", nullptr, nullptr, &message)
                 : sqlite3_exec(db_, schema, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        error = "history " + path + ": " + (message != nullptr ? message : "unusable");
        sqlite3_free(message);
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    return true;
}

bool HistoryStore::save(unsigned dataId, const std::string& time, const unsigned char* data,
                        std::size_t length, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Prepared at the first save and reused by every later one.
    if (insert_ == nullptr &&
        sqlite3_prepare_v2(db_, "INSERT INTO history (data_id, time, record) VALUES (?, ?, ?)", -1,
                           &insert_, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(db_);
        sqlite3_finalize(insert_);
        insert_ = nullptr;
        return false;
    }
    // The text and the record are bound in place: both outlive the step.
    sqlite3_bind_int64(insert_, 1, dataId);
    sqlite3_bind_text(insert_, 2, time.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_blob(insert_, 3, data, static_cast<int>(length), SQLITE_STATIC);
    const bool done = sqlite3_step(insert_) == SQLITE_DONE;
    if (!done) error = sqlite3_errmsg(db_);
    sqlite3_reset(insert_);
    sqlite3_clear_bindings(insert_);
    return done;
}

std::optional<HistoryRow> HistoryStore::newest(unsigned dataId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement stmt(db_,
                   "SELECT id, data_id, time, record FROM history WHERE data_id = ?"
                   " ORDER BY id DESC LIMIT 1");
    if (!stmt) return std::nullopt;
    sqlite3_bind_int64(stmt.get(), 1, dataId);
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) return std::nullopt;
    return readRow(stmt.get());
}

std::vector<HistoryRow> HistoryStore::list(std::optional<unsigned> dataId) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<HistoryRow> rows;
    Statement stmt(db_, dataId ? "SELECT id, data_id, time, record FROM history"
                                 " WHERE data_id = ? ORDER BY id"
                               : "SELECT id, data_id, time, record FROM history ORDER BY id");
    if (!stmt) return rows;
    if (dataId) sqlite3_bind_int64(stmt.get(), 1, *dataId);
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) rows.push_back(readRow(stmt.get()));
    return rows;
}

}  // namespace vedhost

// The history store's SQLite helpers, shared by the files that make up the
// store (its schema, its retention, its reads and writes): a prepared
// statement that finalises itself, one-line statements, a stored record's
// coding and the WAL's sizes for a cap.
#pragma once

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace vedhost::history_sql {

constexpr std::size_t kRecordBytes = 1009;

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

// Whether the file system that holds `path` takes no writes: mounted
// read-only, or made so by an I/O error (ext4's errors=remount-ro, which on
// newer kernels only a write is told of). A file is made and removed beside
// the history to find out.
inline bool fileSystemReadOnly(const std::string& path) {
    if (path.empty() || path == ":memory:") return false;
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    struct statvfs fs {};
    if (::statvfs(dir.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0) return true;
    const std::string probe = path + "-probe";
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return errno == EROFS;
    ::close(fd);
    ::unlink(probe.c_str());
    return false;
}

// Why the storage refused the file a store opens for writing: the disk
// full, the file system read-only, or failing (an I/O error). Each passes:
// the store starts without its file and opens it once the storage takes
// writes again. None is a path that can never work (a folder that is not
// there, no permission, not a database), which stays a configuration error.
enum class Refusal { None, Full, ReadOnly, Failed };

// The storage's part in the latest failure on `db`; taken before a
// rollback or a close replaces what the connection says.
inline Refusal refusalOf(sqlite3* db, const std::string& path) {
    const int code = db != nullptr ? sqlite3_extended_errcode(db) & 0xff : SQLITE_NOMEM;
    // The system's error is the failure's only for these two.
    const int sys = code == SQLITE_IOERR || code == SQLITE_CANTOPEN ? sqlite3_system_errno(db) : 0;
    if (code == SQLITE_FULL || sys == ENOSPC || sys == EDQUOT) return Refusal::Full;
    // A file system that takes no writes is the storage's doing, whatever
    // SQLite made of it (a read-only database, a file or WAL index it cannot
    // make, a journal mode it cannot change); a file that is no database is
    // not.
    const bool writeRefused = code == SQLITE_READONLY || code == SQLITE_IOERR ||
                              code == SQLITE_CANTOPEN || code == SQLITE_ERROR || code == SQLITE_OK;
    if (sys == EROFS || (writeRefused && fileSystemReadOnly(path))) return Refusal::ReadOnly;
    return code == SQLITE_IOERR ? Refusal::Failed : Refusal::None;
}

// Opens the history's file (flags as for sqlite3_open_v2) with a busy
// time-out; on failure nothing stays open, `db` is null, `error` (when
// asked for) says "cannot open history PATH: why" and `refusal` (when asked
// for) the storage's part in it.
inline bool openFile(const std::string& path, int flags, int busyMs, sqlite3*& db,
                     std::string* error = nullptr, Refusal* refusal = nullptr) {
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        if (error != nullptr) *error = "cannot open history " + path + ": " + sqlite3_errmsg(db);
        if (refusal != nullptr) *refusal = refusalOf(db, path);
        sqlite3_close(db);
        db = nullptr;
        return false;
    }
    sqlite3_busy_timeout(db, busyMs);
    return true;
}

inline bool exec(sqlite3* db, const char* sql, std::string* error = nullptr) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    if (rc != SQLITE_OK && error != nullptr) *error = message != nullptr ? message : "failed";
    sqlite3_free(message);
    return rc == SQLITE_OK;
}

inline std::int64_t scalar(sqlite3* db, const char* sql, std::int64_t otherwise = 0) {
    Statement stmt(db, sql);
    return stmt.row() && !stmt.null(0) ? stmt.integer(0) : otherwise;
}

// Meter records are stored deflated (coding 1) when that is smaller: a
// record holds many zero and slowly changing registers and deflates to about
// a third, which is a third of the writes and three times the records.
enum Coding { kRaw = 0, kDeflated = 1 };

inline std::vector<unsigned char> recordBytes(sqlite3_stmt* stmt, int column, int codingColumn) {
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

inline std::int64_t floorTo(std::int64_t t, std::int64_t step) {
    const std::int64_t q = t / step;
    return (t % step != 0 && t < 0 ? q - 1 : q) * step;
}

// WAL sizes for a cap: a checkpoint once the WAL passes a 32nd of the cap
// (between 256 KiB and 4 MiB), and room for twice that, since a reader may
// delay a checkpoint by a commit or two.
inline std::uint64_t checkpointBytes(std::uint64_t maxBytes) {
    return std::clamp<std::uint64_t>(maxBytes / 32, 256u << 10, 4u << 20);
}
inline std::uint64_t walReserveBytes(std::uint64_t maxBytes) {
    return 2 * checkpointBytes(maxBytes);
}

// The database's own share of the cap: what the WAL and the shared-memory
// index leave of it. Every table in the file (the history's, the supply
// quality's) lives within it.
constexpr std::uint64_t kShmReserve = 64u << 10;
inline std::uint64_t databaseBudgetBytes(std::uint64_t maxBytes) {
    const std::uint64_t reserve = walReserveBytes(maxBytes) + kShmReserve;
    return maxBytes > reserve ? maxBytes - reserve : 0;
}

inline std::vector<float> blobFloats(sqlite3_stmt* stmt, int column) {
    const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, column));
    std::vector<float> out(static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)) /
                           sizeof(float));
    if (!out.empty()) std::memcpy(out.data(), blob, out.size() * sizeof(float));
    return out;
}

}  // namespace vedhost::history_sql

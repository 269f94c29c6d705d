// The host's history and cache: every record a device saves, kept in SQLite
// with its data id and the time it was stored. The newest record of a meter is
// what a restarting host offers the device's LoadFromCache.
//
// One connection, used by one thread at a time (the store locks itself).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace vedhost {

struct HistoryRow {
    std::int64_t id = 0;
    unsigned dataId = 0;
    std::string time;  // local time the record was stored, 2024-03-07T09:05:02.123
    std::vector<unsigned char> record;
};

class HistoryStore {
  public:
    HistoryStore() = default;
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Opens (and creates, unless readOnly) the store; ":memory:" for tests.
    bool open(const std::string& path, bool readOnly, std::string& error);

    bool save(unsigned dataId, const std::string& time, const unsigned char* data,
              std::size_t length, std::string& error);
    // The newest record stored for the meter, if any.
    std::optional<HistoryRow> newest(unsigned dataId);
    // Every record, oldest first; only the meter's when a data id is given.
    std::vector<HistoryRow> list(std::optional<unsigned> dataId);

  private:
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;  // the save statement, once prepared
};

}  // namespace vedhost

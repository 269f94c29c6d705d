// The supply quality's tables in the history database: each meter's
// ten-minute values and its weekly assessments, beside the history's own
// tables and within the same cap.
//
//   quality_intervals  one row per meter and ten minutes: the rounds it
//                      stands for and its values (quality_values.h), kept
//                      for the current week and the five before it
//   quality_weeks      one row per meter and week: the assessment as its
//                      JSON document (quality_report.h), deflated, kept for
//                      ten years
//
// The tables are written through a connection of their own, once per ten
// minutes and meter, in short transactions beside the history's writer (the
// database is in WAL mode; each waits for the other's commit). The file's cap
// is the history's: these tables take pages from the same budget, and the
// history's retention, which gives its oldest records and tier rows up first,
// makes the room. A write that finds no room fails as `full`; the recorder
// then gives up the oldest ten-minute values (never the current week's) and
// tries again. What a crash or a power cut can take: nothing committed; the
// ten minutes in progress, which live in memory until they end.
//
// A file the storage refuses at open (full, read-only, failing) opens the
// store all the same: it holds nothing until then, and each write tries the
// file first. The recorder keeps what ended meanwhile and tries again every
// ten seconds, so nothing is lost that fits its queue (four weeks of a meter).
#pragma once

#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "quality/quality_assessment.h"
#include "quality/quality_values.h"

struct sqlite3;

namespace vedhost::history_sql {
enum class Refusal;
}

namespace vedhost::quality {

// A stored week: its place and verdict, and the assessment's document.
struct StoredWeek {
    unsigned dataId = 0;
    std::int64_t start = 0, end = 0;
    std::string label;  // "2026-W49"
    bool pass = false;
    Json::Value document;  // empty unless asked for
};

class QualityStore {
  public:
    QualityStore() = default;
    ~QualityStore();
    QualityStore(const QualityStore&) = delete;
    QualityStore& operator=(const QualityStore&) = delete;

    // Opens the tables of the database at `path` (made, unless readOnly);
    // maxBytes is the history's cap. False with a one-line reason; read-only,
    // a file without the tables opens and holds nothing. For writing, a file
    // the storage refuses is opened by the first write after it takes writes.
    bool open(const std::string& path, bool readOnly, std::uint64_t maxBytes, std::string& error);

    // Stores intervals of meters in one transaction; one already stored for
    // the same meter and start (the part of ten minutes before a restart) is
    // joined with it, each weighed by its rounds. False on failure, nothing
    // stored, `full` when for want of room.
    bool putIntervals(const std::vector<std::pair<unsigned, Interval>>& intervals, bool& full,
                      std::string& error);
    bool putWeek(const Assessment& assessment, const Json::Value& document, bool& full,
                 std::string& error);
    // Drops intervals starting before one time and weeks before another.
    bool trim(std::int64_t intervalsBefore, std::int64_t weeksBefore);
    // Drops up to `rows` of the oldest intervals starting before `keepFrom`,
    // to make room within the cap; how many went.
    int dropOldest(std::int64_t keepFrom, int rows);

    // Reads, from any thread (through a connection of their own).
    // Intervals of a meter (or of every meter, ordered by time then meter)
    // starting in [from, to).
    std::vector<Interval> intervals(unsigned dataId, std::int64_t from, std::int64_t to);
    std::vector<std::pair<unsigned, Interval>> intervals(std::optional<unsigned> dataId,
                                                         std::optional<std::int64_t> from,
                                                         std::optional<std::int64_t> to);
    // The start of the meter's first interval at or after a time.
    std::optional<std::int64_t> firstInterval(unsigned dataId, std::int64_t from);
    // The start of the meter's newest interval.
    std::optional<std::int64_t> lastInterval(unsigned dataId);
    // The end of the meter's latest assessed week.
    std::optional<std::int64_t> assessedThrough(unsigned dataId);
    // The stored week starting at `start`, with its document.
    std::optional<StoredWeek> week(unsigned dataId, std::int64_t start);
    // The meter's stored weeks, oldest first, without their documents.
    std::vector<StoredWeek> weeks(unsigned dataId);
    // Meters with intervals or weeks.
    std::vector<unsigned> meters();

  private:
    struct Read {
        std::unique_lock<std::mutex> lock;
        sqlite3* db;  // nullptr: nothing to read
    };
    // Opens path_ and makes its tables ready (writeMutex_ held); false with
    // db_ null, refused_ the storage's part in it.
    bool openNow(std::string& error);
    bool prepare(bool readOnly, std::string& error);
    // For a write: the tables open, tried now if the storage refused them.
    bool writable(std::string& error);
    sqlite3* reader();
    Read read();

    std::string path_;
    bool memory_ = false;
    std::mutex writeMutex_;  // db_
    sqlite3* db_ = nullptr;
    std::mutex readMutex_;  // reader_ (db_ itself for an in-memory store)
    sqlite3* reader_ = nullptr;
    bool readOnly_ = false;
    std::uint64_t maxBytes_ = 0;
    history_sql::Refusal refused_{};
    std::atomic<bool> tables_{false};  // the file has the tables (read-only may not)
};

}  // namespace vedhost::quality

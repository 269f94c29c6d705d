// Where the energy books are kept: tables of their own in the history's
// SQLite database, beside the records, through a connection of their own.
//
//   energy_ledger  each meter's counters: total, epoch, the register and its
//                  time at the latest reading (what a restart goes on from)
//   energy_hours   consumption per local hour, kept for hourSpan
//   energy_days    consumption per local day and tariff band, kept for daySpan
//   energy_audit   every wrap and new epoch, with the register before and after
//   energy_demand  each meter's maximum demand per month and its window
//   energy_meta    the tables' version, for their upgrades
//
// What a crash or a power cut can take. Changes are kept in memory and
// committed by the store's writer thread once per commit window (vedhost
// takes a minute, or the history's window when that is longer), in one
// transaction each (WAL, synchronous=FULL): a committed window survives, the
// rounds of the window not yet committed are lost, and since the ledger's
// states are committed with the consumption they produced, a restart goes
// on from the last committed reading and the energy of the lost window is
// counted again as accrued over the gap (estimated); a wrap or a new epoch
// in it is found again then. A clean stop commits everything. A commit that fails (a
// full disk) is kept and tried again with the next one; storing stopping and
// resuming are one stderr line each.
//
// Reads see what is committed and what is still waiting to be, so they are
// up to date with the latest round.
//
// A file the storage refuses at open (full, read-only, failing) opens the
// store all the same, not ready(): the writer tries the file again within a
// second, then at most every five seconds, and the sink keeps its books
// waiting until it opens (energy_sink.h).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "energy/books.h"
#include "history/retry_delay.h"

struct sqlite3;

namespace vedhost::history_sql {
class Statement;
enum class Refusal;
}  // namespace vedhost::history_sql

namespace vedhost::energy {

struct EnergyStoreOptions {
    double commitSeconds = 10;
    std::int64_t hourSpan = 400 * 86400;  // hours, at least a year
    std::int64_t daySpan = 3660 * 86400;  // days, ten years
};

// A row of consumption: an hour's or a day's (per band) amount.
struct UsageRow {
    std::int64_t start = 0;
    std::string band;
    Amount amount;
};

class EnergyStore {
  public:
    EnergyStore();
    ~EnergyStore();
    EnergyStore(const EnergyStore&) = delete;
    EnergyStore& operator=(const EnergyStore&) = delete;

    // Opens the database (creating or upgrading the energy tables unless
    // readOnly); opened for writing, the store runs its writer thread.
    bool open(const std::string& path, bool readOnly, std::string& error,
              const EnergyStoreOptions& options = {});
    // Whether the file keeps energy tables (a history from before has none).
    bool keepsEnergy() const { return hasTables_; }
    // Whether the tables are open: false, for writing, while the storage
    // refuses the file. Any thread.
    bool ready() const { return ready_; }

    // Queues a round's changes for the next commit; never waits for the disk.
    void queue(Changes&& changes);
    // Commits what is queued (one attempt) and returns when it is done.
    void flush();

    // Reads; a meter's rows by unix seconds [from, to), oldest first.
    std::vector<unsigned> meters();
    std::vector<std::pair<std::size_t, CounterState>> ledger(unsigned dataId);
    std::vector<UsageRow> hours(unsigned dataId, std::size_t counter, std::int64_t from,
                                std::int64_t to);
    std::vector<UsageRow> days(unsigned dataId, std::size_t counter, std::int64_t from,
                               std::int64_t to);
    std::vector<DemandPeak> peaks(unsigned dataId, std::int64_t from, std::int64_t to);
    std::vector<AuditRow> audit(std::optional<unsigned> dataId);

  private:
    // Opens path_ and makes the tables ready (dbMutex_ held); false with db_
    // null, refused_ the storage's part in it.
    bool openNow(bool readOnly, std::string& error);
    bool prepare(bool readOnly, std::string& error);
    bool write(const Changes& changes, std::string& error);
    void writerLoop();
    std::vector<UsageRow> usage(const char* table, unsigned dataId, std::size_t counter,
                                std::int64_t from, std::int64_t to);

    EnergyStoreOptions options_;
    std::string path_;
    history_sql::Refusal refused_{};
    std::atomic<bool> ready_{false};
    bool hasTables_ = false;
    std::mutex dbMutex_;  // db_; taken before queueMutex_ where both are
    sqlite3* db_ = nullptr;
    bool writable_ = false;
    std::unique_ptr<history_sql::Statement> writes_[5];  // the writer's, prepared once
    std::int64_t newest_ = 0, lastTrim_ = 0;             // unix seconds, of the data

    std::mutex queueMutex_;
    std::condition_variable changed_;
    Changes pending_, inFlight_;
    std::chrono::steady_clock::time_point firstQueued_;
    std::uint64_t queued_ = 0, handled_ = 0;  // queue() calls, and those a commit attempt took
    bool stopping_ = false, flushing_ = false, stopped_ = false;
    bool awaitingFile_ = false;  // the storage refused the file; the writer tries it again
    RetryDelay retry_;
    std::thread writer_;
};

}  // namespace vedhost::energy

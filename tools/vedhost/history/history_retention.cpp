// The history's retention: the tiers consolidated from the full records,
// each tier trimmed to its span, and room made within the cap, oldest first.
#include <limits>

#include "history/history_sql.h"
#include "history/history_store.h"

namespace vedhost {
namespace {

using namespace history_sql;

// Steps of one tier made in one transaction, so a long backlog (an upgraded
// database, a long pause) is worked off in commits of bounded size.
constexpr std::int64_t kStepsPerCommit = 2000;

}  // namespace

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
            // Time went back (a step of the wall clock back that held): the
            // steps from there on are made again, with the rows now in them.
            if (done > end) done = end;
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
}  // namespace vedhost

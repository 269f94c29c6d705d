#include "quality/quality_recorder.h"

#include <chrono>
#include <iostream>
#include <limits>

#include "quality/quality_report.h"

namespace vedhost::quality {
namespace {

// Ended intervals kept in memory while they cannot be stored (28 days of one
// meter, some 2.7 MB); older go.
constexpr std::size_t kQueueLimit = 4096;
// Ten-minute values given up at once when the cap leaves no room: a day of
// one meter.
constexpr int kRoomBite = 144;
// How long a failed write waits before it is tried again.
constexpr auto kRetry = std::chrono::seconds(10);
// Ten-minute values kept: the current week and this many before it.
constexpr int kWeeksOfIntervals = 5;
// Assessments kept: ten years of weeks.
constexpr std::int64_t kAssessmentSeconds = 3653 * 86400;
constexpr std::int64_t kLongAgo = std::numeric_limits<std::int64_t>::min();

}  // namespace

QualityRecorder::QualityRecorder(QualityStore& store, const Nominal& nominal,
                                 const SampleReader& reader)
    : store_(store), nominal_(nominal), reader_(reader) {
    writer_ = std::thread([this] { writerLoop(); });
}

QualityRecorder::~QualityRecorder() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    writer_.join();
}

void QualityRecorder::round(unsigned dataId, std::int64_t unixMs, const unsigned char* record,
                            std::size_t length) {
    RawRound raw;
    raw.unixMs = unixMs;
    // Anything but a whole record counts as a round without values.
    if (!reader_.readRaw(record, length, raw)) {
        Sample none;
        none.unixMs = unixMs;
        round(dataId, none);
        return;
    }
    add(dataId, unixMs, [&](IntervalAccumulator& acc) { return acc.add(raw, reader_.scales()); });
}

void QualityRecorder::round(unsigned dataId, const Sample& sample) {
    add(dataId, sample.unixMs, [&](IntervalAccumulator& acc) { return acc.add(sample); });
}

template <typename Add>
void QualityRecorder::add(unsigned dataId, std::int64_t unixMs, const Add& addTo) {
    bool closed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::int64_t& last = lastRound_[dataId];
        last = std::max(last, unixMs / 1000);
        std::optional<Interval> ended = addTo(meters_[dataId]);
        if (ended) {
            if (queue_.size() >= kQueueLimit) {
                queue_.pop_front();
                ++notStored_;
            }
            queue_.push_back({dataId, *ended});
            std::int64_t& newest = newest_[dataId];
            newest = std::max(newest, ended->start);
            closed = true;
        }
    }
    if (closed) changed_.notify_all();
}

void QualityRecorder::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return (queue_.empty() && busy_ == 0) || failing_; });
}

long QualityRecorder::intervalsNotStored() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return notStored_;
}

void QualityRecorder::writerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (queue_.empty()) {
            if (stopping_) break;
            changed_.wait(lock);
            continue;
        }
        // Everything ended so far, in one transaction.
        std::vector<std::pair<unsigned, Interval>> batch;
        for (const Closed& c : queue_) batch.emplace_back(c.dataId, c.interval);
        queue_.clear();
        busy_ = batch.size();
        lock.unlock();
        bool full = false;
        std::string error;
        const bool stored = store_.putIntervals(batch, full, error);
        if (stored)
            for (const auto& [dataId, interval] : batch) assessEnded(dataId, interval.start);
        lock.lock();
        busy_ = 0;
        if (stored && failing_) {
            failing_ = false;
            std::cerr << "vedhost: quality: storing ten-minute values again" << std::endl;
        }
        if (!stored && full && !stopping_) {
            // No room within the cap, and the history has nothing more to
            // give: the oldest ten-minute values before this week go, and
            // the batch is tried again at once.
            lock.unlock();
            std::int64_t keepFrom = batch.front().second.start;
            for (const auto& [dataId, interval] : batch)
                keepFrom = std::min(keepFrom, interval.start);
            const int dropped = store_.dropOldest(weekOf(keepFrom).start, kRoomBite);
            lock.lock();
            if (dropped > 0) {
                std::cerr << "vedhost: quality: no room within the history's cap; the oldest "
                          << dropped << " ten-minute values were given up" << std::endl;
                for (auto it = batch.rbegin(); it != batch.rend(); ++it)
                    queue_.push_front({it->first, it->second});
                continue;
            }
        }
        if (!stored) {
            if (!failing_)
                std::cerr << "vedhost: quality: storing ten-minute values stopped: " << error
                          << std::endl;
            failing_ = true;
            if (stopping_) {
                notStored_ += static_cast<long>(batch.size());
            } else {
                // Tried again after a while, with what ends meanwhile: the
                // history's retention makes room at its next commit.
                for (auto it = batch.rbegin(); it != batch.rend(); ++it)
                    queue_.push_front({it->first, it->second});
                while (queue_.size() > kQueueLimit) {
                    queue_.pop_front();
                    ++notStored_;
                }
                changed_.notify_all();
                changed_.wait_for(lock, kRetry, [this] { return stopping_; });
                continue;
            }
        }
        changed_.notify_all();
    }
}

// Assesses each week of the meter that has ended by `now` (the start of its
// newest stored interval) and has values but no assessment yet, and drops
// values past their keeping. Checked once per week and meter.
void QualityRecorder::assessEnded(unsigned dataId, std::int64_t now) {
    const Week current = weekOf(now);
    const auto checked = checkedWeek_.find(dataId);
    if (checked != checkedWeek_.end() && checked->second >= current.start) return;
    std::int64_t from = store_.assessedThrough(dataId).value_or(kLongAgo);
    for (;;) {
        const auto first = store_.firstInterval(dataId, from);
        if (!first || *first >= current.start) break;
        const Week week = weekOf(*first);
        const Assessment a = assess(dataId, week, store_.intervals(dataId, week.start, week.end),
                                    nominal_, true, now);
        bool full = false;
        std::string error;
        if (!store_.putWeek(a, assessmentJson(a), full, error)) {
            std::cerr << "vedhost: quality: data id " << dataId << ": week " << week.label()
                      << " not stored: " << error << std::endl;
            return;  // tried again with the next interval
        }
        from = week.end;
    }
    Week keep = current;
    for (int i = 0; i < kWeeksOfIntervals; ++i) keep = previousWeek(keep);
    store_.trim(keep.start, current.start - kAssessmentSeconds);
    checkedWeek_[dataId] = current.start;
}

std::optional<std::int64_t> QualityRecorder::newest(unsigned dataId) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = newest_.find(dataId);
        if (it != newest_.end()) return it->second;
    }
    return store_.lastInterval(dataId);
}

bool QualityRecorder::passed(unsigned dataId, std::int64_t at) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = lastRound_.find(dataId);
        if (it != lastRound_.end() && it->second >= at) return true;
    }
    const auto latest = newest(dataId);
    return latest && *latest >= at;
}

Json::Value QualityRecorder::weekReport(unsigned dataId, const std::optional<Week>& asked) {
    const std::optional<std::int64_t> latest = newest(dataId);
    if (!asked && !latest) return Json::Value();
    const Week week = asked ? *asked : weekOf(*latest);
    if (const auto stored = store_.week(dataId, week.start); stored && !stored->document.isNull())
        return stored->document;
    const std::vector<Interval> intervals = store_.intervals(dataId, week.start, week.end);
    if (intervals.empty()) return Json::Value();
    const std::int64_t through = intervals.back().start + kIntervalSeconds;
    return assessmentJson(
        assess(dataId, week, intervals, nominal_, passed(dataId, week.end), through));
}

Json::Value QualityRecorder::weeks(unsigned dataId) {
    Json::Value out(Json::arrayValue);
    std::map<std::int64_t, Json::Value> byStart;
    for (const StoredWeek& w : store_.weeks(dataId)) {
        Json::Value entry(Json::objectValue);
        entry["week"] = w.label;
        entry["result"] = w.pass ? "pass" : "fail";
        byStart[w.start] = entry;
    }
    const std::optional<std::int64_t> latest = newest(dataId);
    if (auto first = store_.firstInterval(dataId, kLongAgo); first && latest) {
        for (Week w = weekOf(*first); w.start <= *latest; w = nextWeek(w)) {
            const auto at = store_.firstInterval(dataId, w.start);
            if (!at || *at >= w.end || byStart.count(w.start) != 0) continue;
            Json::Value entry(Json::objectValue);
            entry["week"] = w.label();
            entry["result"] = passed(dataId, w.end) ? Json::Value() : Json::Value("so far");
            byStart[w.start] = entry;
        }
    }
    for (auto& [start, entry] : byStart) out.append(entry);
    return out;
}

bool QualityRecorder::answer(unsigned dataId, const std::string& name, Json::Value& document,
                             std::string& error) {
    std::optional<Week> week;
    if (!name.empty()) {
        Week w;
        if (!parseWeek(name, w)) {
            error = "week: expected a week as 2026-W49, got \"" + name + "\"";
            return false;
        }
        week = w;
    }
    document = weekReport(dataId, week);
    if (document.isNull() && !week) {
        document = Json::Value(Json::objectValue);
        document["data_id"] = dataId;
        document["week"] = Json::Value();
        document["result"] = "no values";
        document["note"] = kPolledNote;
        document["criteria"] = Json::Value(Json::arrayValue);
    }
    if (!document.isNull()) document["weeks"] = weeks(dataId);
    return true;
}

}  // namespace vedhost::quality

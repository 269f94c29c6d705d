// The supply-quality sink: every round of every meter becomes part of its
// ten-minute values; each ten minutes that end are stored (quality_store.h)
// and each week that ends is assessed and stored, on a thread of the
// recorder's own, so a round never waits for the disk.
//
// Time is the rounds' own: a ten-minute interval ends when a round of a later
// one arrives, a week when an interval of a later week is stored. A week the
// host was stopped over is assessed from what it has by the first interval
// stored after it. The ten minutes in progress live in memory: when the host
// stops they are lost, and a restart within the same ten minutes joins what
// was stored of them with what follows.
#pragma once

#include <json/value.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quality/quality_assessment.h"
#include "quality/quality_sample.h"
#include "quality/quality_store.h"

namespace vedhost::quality {

class QualityRecorder {
  public:
    // `store` must be open for writing and outlive the recorder.
    QualityRecorder(QualityStore& store, const Nominal& nominal,
                    const SampleReader& reader = SampleReader());
    ~QualityRecorder();
    QualityRecorder(const QualityRecorder&) = delete;
    QualityRecorder& operator=(const QualityRecorder&) = delete;

    // A completed round of a meter: the record image it saved and when the
    // round ended. From the line threads; takes one lock for a few additions.
    void round(unsigned dataId, std::int64_t unixMs, const unsigned char* record,
               std::size_t length);
    // The same with the round's values already read.
    void round(unsigned dataId, const Sample& sample);

    // Waits until every interval ended so far is stored and every week
    // ended so far assessed.
    void flush();

    // A week of a meter as /api/quality answers it: the stored assessment of
    // a week that has ended, else the week assessed from its stored values
    // (the current week so far). Without `week`, the week of the meter's
    // newest values. Null when the meter has no values for it. Any thread.
    Json::Value weekReport(unsigned dataId, const std::optional<Week>& week);
    // The weeks a meter has: [{"week": "2026-W49", "result": "pass"}, ...],
    // oldest first, the current one last with "result": "so far".
    Json::Value weeks(unsigned dataId);
    // What /api/quality answers for a meter: the week's document (as
    // weekReport) with the meter's "weeks" added. `week` is a week's name
    // ("2026-W49"), or empty for the newest week; before the meter has any
    // values that is a document with "week" null, "result" "no values", the
    // note, no criteria and no weeks. Null for a named week without values;
    // false with a one-line reason when `week` names no week.
    bool answer(unsigned dataId, const std::string& week, Json::Value& document,
                std::string& error);

    // Intervals not stored (no room, a disk error) since start.
    long intervalsNotStored() const;

  private:
    struct Closed {
        unsigned dataId;
        Interval interval;
    };
    // Adds a round to the meter's ten minutes with `addTo(accumulator)`,
    // queueing the interval it closes.
    template <typename Add>
    void add(unsigned dataId, std::int64_t unixMs, const Add& addTo);
    void writerLoop();
    void assessEnded(unsigned dataId, std::int64_t now);
    std::optional<std::int64_t> newest(unsigned dataId);
    // Whether the meter's time has passed a moment: a round or a stored
    // interval at or after it.
    bool passed(unsigned dataId, std::int64_t at);

    QualityStore& store_;
    const Nominal nominal_;
    const SampleReader reader_;

    mutable std::mutex mutex_;  // everything below
    std::condition_variable changed_;
    std::map<unsigned, IntervalAccumulator> meters_;
    std::map<unsigned, std::int64_t> newest_;     // newest interval start seen per meter
    std::map<unsigned, std::int64_t> lastRound_;  // newest round's time per meter, unix s
    std::deque<Closed> queue_;
    std::size_t busy_ = 0;  // intervals taken by the writer, not yet handled
    bool stopping_ = false;
    bool failing_ = false;  // storing has stopped; the next success says so
    long notStored_ = 0;
    std::thread writer_;

    // The writer's own: the week each meter was last checked for ended weeks.
    std::map<unsigned, std::int64_t> checkedWeek_;
};

}  // namespace vedhost::quality

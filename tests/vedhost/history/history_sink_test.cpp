// The history behind the publisher seam: a polled round is stored with the
// time its record was saved; the stored record played back at start is not
// stored again; a store that refuses says so.
#include "history/history_sink.h"

#include <gtest/gtest.h>

namespace vedhost {
namespace {

Round roundAt(std::int64_t unixMs, unsigned char fill, bool replay) {
    Round round;
    round.dataId = 4;
    round.saved = std::chrono::system_clock::time_point(std::chrono::milliseconds(unixMs));
    round.record.assign(1009, fill);
    round.replay = replay;
    return round;
}

TEST(HistorySink, StoresEachPolledRoundAtItsSavedTimeAndNoReplay) {
    HistoryStore store;
    std::string error;
    ASSERT_TRUE(store.open(":memory:", false, error)) << error;
    HistorySink sink(store);
    EXPECT_FALSE(sink.needsReport());  // the record is what it keeps

    const Round replayed = roundAt(1709802302123, 0x22, true);
    const Round polled = roundAt(1709802303456, 0x11, false);
    sink.round(replayed);
    sink.round(polled);

    const auto rows = store.list(std::nullopt);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].dataId, 4u);
    EXPECT_EQ(rows[0].unixMs, 1709802303456);
    EXPECT_EQ(rows[0].time, timestamp(polled.saved));
    EXPECT_EQ(rows[0].record, polled.record);
}

TEST(HistorySink, AStoreThatRefusesTheRecordSaysSoOnStderr) {
    HistoryStore store;  // not open for writing
    HistorySink sink(store);
    testing::internal::CaptureStderr();
    sink.round(roundAt(1709802303456, 0x11, false));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("vedhost: data id 4: history not stored: ", 0), 0u) << err;
}

}  // namespace
}  // namespace vedhost

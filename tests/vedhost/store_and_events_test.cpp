// The history store, the event lines and the round bookkeeping of vedhost.
#include <gtest/gtest.h>
#include <json/reader.h>

#include "event_log.h"
#include "history_store.h"
#include "scheduler.h"

namespace vedhost {
namespace {

TEST(HistoryStore, NewestRecordPerMeterAndListsInOrder) {
    HistoryStore store;
    std::string error;
    ASSERT_TRUE(store.open(":memory:", false, error)) << error;
    EXPECT_FALSE(store.newest(1).has_value());

    std::vector<unsigned char> first(1009, 0x11), second(1009, 0x22), other(1009, 0x33);
    first[1008] = 0;  // records are binary: zero bytes must survive
    ASSERT_TRUE(store.save(1, "t1", first.data(), first.size(), error)) << error;
    ASSERT_TRUE(store.save(2, "t2", other.data(), other.size(), error)) << error;
    ASSERT_TRUE(store.save(1, "t3", second.data(), second.size(), error)) << error;

    const auto newest = store.newest(1);
    ASSERT_TRUE(newest.has_value());
    EXPECT_EQ(newest->record, second);
    EXPECT_EQ(newest->time, "t3");
    EXPECT_EQ(store.newest(2)->record, other);

    const auto all = store.list(std::nullopt);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].record, first);
    EXPECT_EQ(all[1].dataId, 2u);
    const auto mine = store.list(1u);
    ASSERT_EQ(mine.size(), 2u);
    EXPECT_EQ(mine[1].time, "t3");
    EXPECT_TRUE(store.list(9u).empty());
}

TEST(HistoryStore, ReadOnlyOpenOfAMissingFileFails) {
    HistoryStore store;
    std::string error;
    EXPECT_FALSE(store.open("/no/such/dir/history.db", true, error));
    EXPECT_NE(error.find("cannot open history"), std::string::npos) << error;
}

TEST(EventLines, OneLineWithUtf8KeptAndCommonMembers) {
    Json::Value e = makeEvent("CheckThresholdBool", 7);
    e["message"] = "A相过压告警\n第二行";
    const std::string line = compactJson(e);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_NE(line.find("A相过压告警"), std::string::npos) << line;

    Json::Value back;
    ASSERT_TRUE(Json::Reader().parse(line, back));
    EXPECT_EQ(back["event"], "CheckThresholdBool");
    EXPECT_EQ(back["data_id"].asUInt(), 7u);
    EXPECT_EQ(back["message"], "A相过压告警\n第二行");
    // 2024-03-07T09:05:02.123
    const std::string time = back["time"].asString();
    ASSERT_EQ(time.size(), 23u) << time;
    EXPECT_EQ(time[10], 'T');
    EXPECT_EQ(time[19], '.');
}

TEST(EventLines, ControlInputAsHex) {
    const unsigned char in[] = {0x78, 0x17, 0x02, 0x00, 0xff};
    EXPECT_EQ(hexBytes(in, sizeof in), "78170200ff");
    EXPECT_EQ(hexBytes(nullptr, 4), "");
}

TEST(RoundsStanding, DoneAfterNCompletedFailedAfterNSilentInARow) {
    const struct {
        long completed, silentInARow;
        Standing standing;
    } rows[] = {
        {0, 0, Standing::Running}, {0, 2, Standing::Running},
        {0, 3, Standing::Failed},  // never answered: given up after 3 attempts
        {2, 0, Standing::Running}, {3, 0, Standing::Done},
        {4, 0, Standing::Done},    {1, 2, Standing::Running},  // may still recover
        {2, 1, Standing::Running},                             // recovered: runs on
        {1, 3, Standing::Failed},                              // fell silent for good
        {3, 3, Standing::Done},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.completed) + " completed, " +
                     std::to_string(row.silentInARow) + " silent");
        EXPECT_EQ(standing(row.completed, row.silentInARow, 3), row.standing);
    }
}

TEST(WriteOutcome, TextForEachResult) {
    EXPECT_EQ(writeOutcome(-1), "no reply");
    EXPECT_EQ(writeOutcome(1), "acknowledged");
    EXPECT_EQ(writeOutcome(3), "refused");
    EXPECT_EQ(writeOutcome(0), "unknown outcome 0");
}

}  // namespace
}  // namespace vedhost

// The history store's plain reads: the newest record per meter, a listing
// in order, and a read-only open of a file that is not there.
#include "history/history_store.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vedhost

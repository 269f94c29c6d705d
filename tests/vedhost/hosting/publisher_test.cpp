// What the services seam gathers of a device's turn, the event log's word on
// each saved record, and the publishers' fan-out: the pieces a round's road
// is made of, each where a fault would lose, repeat or reorder what a sink
// hears.
#include "hosting/publisher.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <sstream>
#include <string>
#include <vector>

#include "hosting/host_services.h"
#include "tests/support/line_file.h"
#include "tests/support/recording_publisher.h"
#include "ved96/ved96.h"

namespace vedhost {
namespace {

const std::vector<unsigned char> kRecord(1009, 0x5a);

std::vector<std::string> heardOf(unsigned dataId, const TurnRecord& turn) {
    std::vector<std::string> heard;
    testpub::Recorder recorder(heard);
    handOn(dataId, turn.seen, recorder);
    return heard;
}

TEST(TurnGathering, EachDevicesCallsInTheOrderMadeAndItsSavedRecords) {
    HostServices services(nullptr, false);
    ved96 a, b;
    a.dataId_ = 1;
    b.dataId_ = 2;
    services.beginTurn(a);
    services.exchangeEnded(a, Publisher::Exchange::Answered);
    services.CheckThresholdBool(a, 2, "A相过压告警", "00700000007", "A相过压告警", "", true, 1);
    services.CheckAOReport(b, "00200000002", 5);  // the other meter's, between a's calls
    services.CheckAOReport(a, "00100000001", 230);
    services.SaveDeviceHistory(a, kRecord.data(), 1009);
    services.exchangeEnded(a, Publisher::Exchange::TimedOut);  // the --write after the round

    const TurnRecord turn = services.endTurn(a);
    EXPECT_EQ(heardOf(1, turn), (std::vector<std::string>{
                                    "exchange 1 answered",
                                    "alarm 1 2 A相过压告警 00700000007 raised 1",
                                    "analog 1 00100000001 230",
                                    "exchange 1 timed out",
                                }));
    ASSERT_TRUE(turn.completed());
    ASSERT_EQ(turn.saved.size(), 1u);
    EXPECT_EQ(turn.saved[0].bytes, kRecord);
    EXPECT_FALSE(turn.saved[0].replay);
    const auto age = std::chrono::system_clock::now() - turn.saved[0].when;
    EXPECT_LT(age, std::chrono::seconds(5));

    // Taken once: the next turn starts empty. A call made between turns is
    // heard with the next turn, not lost.
    const TurnRecord other = services.endTurn(b);
    EXPECT_EQ(heardOf(2, other), (std::vector<std::string>{"analog 2 00200000002 5"}));
    EXPECT_FALSE(other.completed());
    EXPECT_TRUE(services.endTurn(a).seen.empty());

    // A turn that saves nothing completed no round; a replayed record is marked.
    services.beginTurn(a);
    services.exchangeEnded(a, Publisher::Exchange::Failed);
    EXPECT_FALSE(services.endTurn(a).completed());
    services.beginTurn(a, true);
    services.SaveDeviceHistory(a, kRecord.data(), 1009);
    const TurnRecord replayed = services.endTurn(a);
    ASSERT_EQ(replayed.saved.size(), 1u);
    EXPECT_TRUE(replayed.saved[0].replay);
    // The replay mark ends with its turn.
    services.beginTurn(a);
    services.SaveDeviceHistory(a, kRecord.data(), 1009);
    EXPECT_FALSE(services.endTurn(a).saved.at(0).replay);
}

TEST(SaveDeviceHistoryEvent, StoredOnlyWhenAHistoryIsKeptAndTheRecordIsNotAReplay) {
    const struct {
        bool keepsHistory, replay;
        bool stored;
    } rows[] = {
        {false, false, false},
        {true, false, true},
        {true, true, false},  // the store holds it already
        {false, true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.keepsHistory ? "history kept" : "no history") +
                     (row.replay ? ", replay" : ""));
        testlines::LineFile events;
        ASSERT_TRUE(events.opened());
        HostServices services(&events.sink, row.keepsHistory);
        ved96 meter;
        services.beginTurn(meter, row.replay);
        EXPECT_TRUE(services.SaveDeviceHistory(meter, kRecord.data(), 1009));
        services.endTurn(meter);

        std::istringstream in(events.text());
        std::string line;
        ASSERT_TRUE(std::getline(in, line));
        Json::Value e;
        ASSERT_TRUE(Json::Reader().parse(line, e)) << line;
        EXPECT_EQ(e["event"], "SaveDeviceHistory");
        EXPECT_EQ(e["length"].asUInt(), 1009u);
        EXPECT_EQ(e["stored"].asBool(), row.stored) << line;
        EXPECT_EQ(e.isMember("replay"), row.replay) << line;
    }
}

TEST(Publishers, EachHearsEverythingInTheOrderAdded) {
    std::vector<std::string> heard;
    testpub::Recorder first(heard, "first"), second(heard, "second");
    Publishers all;
    EXPECT_FALSE(all.needsReport());
    all.add(&first);
    all.add(&second);
    all.answering(3, true);
    all.exchange(3, Publisher::Exchange::Failed);
    all.analogReport(3, "k", 1);
    all.alarmCheck(3, 1, "k", "a", "", "", false, 2);
    Round round;
    round.dataId = 3;
    round.reportText = "{}";
    all.round(round);
    EXPECT_EQ(heard, (std::vector<std::string>{
                         "first: answering 3 yes",
                         "second: answering 3 yes",
                         "first: exchange 3 failed",
                         "second: exchange 3 failed",
                         "first: analog 3 k 1",
                         "second: analog 3 k 1",
                         "first: alarm 3 1 k a cleared 2",
                         "second: alarm 3 1 k a cleared 2",
                         "first: round 3 report",
                         "second: round 3 report",
                     }));
}

TEST(Publishers, ARoundWithoutItsReportReachesOnlyTheSinksThatNeedNone) {
    for (bool withReport : {false, true}) {
        SCOPED_TRACE(withReport ? "with a report" : "without a report");
        std::vector<std::string> heard;
        testpub::Recorder records(heard, "records", false), shows(heard, "shows", true);
        Publishers all;
        all.add(&records);
        EXPECT_FALSE(all.needsReport());
        all.add(&shows);
        EXPECT_TRUE(all.needsReport());
        Round round;
        round.dataId = 1;
        if (withReport) round.reportText = "{}";
        all.round(round);
        std::vector<std::string> expected = {withReport ? "records: round 1 report"
                                                        : "records: round 1"};
        if (withReport) expected.push_back("shows: round 1 report");
        EXPECT_EQ(heard, expected);
    }
}

}  // namespace
}  // namespace vedhost

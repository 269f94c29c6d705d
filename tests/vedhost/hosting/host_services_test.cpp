// vedhost's services sink: saved records reach the history and count as
// rounds whether or not an event log is open; the events appear only in an
// open log.
#include "hosting/host_services.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "history/history_sink.h"
#include "ved96/ved96.h"

namespace vedhost {
namespace {

// The round the scheduler makes of a record the device saved.
Round roundOf(const SMDVDevice& device, const SavedRecord& saved) {
    Round round;
    round.dataId = device.DataId();
    round.saved = saved.when;
    round.record = saved.bytes;
    round.replay = saved.replay;
    return round;
}

TEST(HostServices, HistoryAndRoundsWithAndWithoutAnEventLog) {
    for (bool withLog : {false, true}) {
        SCOPED_TRACE(withLog ? "event log open" : "no event log");
        HistoryStore store;
        std::string error;
        ASSERT_TRUE(store.open(":memory:", false, error)) << error;
        char path[] = "/tmp/vedhost-events-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        ::close(fd);
        LineSink events;
        if (withLog) {
            ASSERT_TRUE(events.open(path, error)) << error;
        }

        HostServices services(&events, true);
        HistorySink history(store);
        ved96 meter;
        const std::vector<unsigned char> record(1009, 0x5a);
        services.beginTurn(meter);
        services.SendSP(meter, 5156, record.data(), 1009, false);
        ASSERT_TRUE(services.SaveDeviceHistory(meter, record.data(), 1009));
        ASSERT_TRUE(services.SaveDeviceHistory(meter, record.data(), 1009));
        const TurnRecord turn = services.endTurn(meter);
        for (const SavedRecord& saved : turn.saved) history.round(roundOf(meter, saved));

        EXPECT_EQ(turn.saved.size(), 2u);
        EXPECT_EQ(store.list(std::nullopt).size(), 2u);
        EXPECT_EQ(store.newest(meter.DataId())->record, record);

        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        const std::string log = text.str();
        EXPECT_EQ(log.find("\"event\":\"SendSP\"") != std::string::npos, withLog) << log;
        EXPECT_EQ(log.find("\"stored\":true") != std::string::npos, withLog) << log;
        std::remove(path);
    }
}

}  // namespace
}  // namespace vedhost

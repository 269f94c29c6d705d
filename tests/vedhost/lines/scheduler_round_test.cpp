// The scheduler against a real ved96 device on a loopback TCP meter: a turn
// in which the device saves its record completes a round and one in which it
// does not, does not; what the publishers hear of each turn and in which
// order; the replayed record heard as a replay and not stored again; the
// report fetched only when a sink needs it.
#include <gtest/gtest.h>

#include "history/history_sink.h"
#include "lines/scheduler.h"
#include "tests/support/recording_publisher.h"
#include "tests/vedhost/lines/meter_peers.h"
#include "ved96/ved96.h"

namespace vedhost {
namespace {

using Act = peers::TcpMeter::Act;

// Phase A voltage 230.1 V, and the meter's own phase A over-voltage alarm.
const std::map<int, std::uint16_t> kImage = {{0, 2301}, {102, 1}};

// What a recorder heard, a line per call.
using Heard = std::vector<std::string>;
Heard times(int n, const std::string& line) { return Heard(static_cast<std::size_t>(n), line); }
Heard operator+(Heard a, const Heard& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One TCP line with one ved96 meter (data id 1, slave 1) on a loopback meter.
class SchedulerRounds : public ::testing::Test {
  protected:
    // The time-out matters only where the meter falls silent.
    void make(std::vector<Act> acts = {}, int timeoutMs = 2000) {
        peer_ = std::make_unique<peers::TcpMeter>(std::move(acts), kImage);
        config_.kind = LineConfig::Kind::Tcp;
        config_.host = "127.0.0.1";
        config_.port = peer_->port();
        config_.timeoutMs = timeoutMs;
        Line line;
        line.link = std::make_unique<ModbusLine>(config_, services_);
        auto meter = std::make_unique<Meter>();
        meter->config.dataId = 1;
        meter->config.slave = 1;
        meter->line = &config_;
        auto device = std::make_unique<ved96>();
        device->dataId_ = 1;
        device->b_mode_ = 1;  // the configuration file scheme maps the meter's own alarms
        device->alarmSignalIdMap_ = {{"A相过压告警", "00700000007"}};
        device->setTransport(line.link.get());
        device->setServices(&services_);
        meter->modbus = device.get();
        meter->device = std::move(device);
        line.meters.push_back(std::move(meter));
        lines_.push_back(std::move(line));
    }
    Meter& meter() { return *lines_[0].meters[0]; }
    // Polls until the meter is done under --rounds; true when all went well.
    bool run(PollSettings settings) {
        settings.intervalSeconds = 0.01;
        Scheduler scheduler(std::move(settings), services_, publishers_);
        scheduler.start(lines_);
        scheduler.join();
        return scheduler.allWell();
    }
    void TearDown() override { lines_.clear(); }

    std::unique_ptr<peers::TcpMeter> peer_;
    LineConfig config_;
    HostServices services_{nullptr, false};
    Heard heard_;
    testpub::Recorder recorder_{heard_};
    Publishers publishers_;
    std::vector<Line> lines_;
};

// A polled round's turn: its ten blocks, then the alarm the device checks.
const Heard kRoundHeard =
    times(10, "exchange 1 answered") + Heard{"alarm 1 2 00700000007 00700000007 raised 1"};

TEST_F(SchedulerRounds, ATurnInWhichTheDeviceSavesItsRecordCompletesARound) {
    make();
    publishers_.add(&recorder_);
    ASSERT_TRUE(run({0, 2, std::nullopt}));
    // The turn's calls in the order made, the meter answering (once), the round.
    const Heard expected = kRoundHeard + Heard{"answering 1 yes", "round 1 report"} + kRoundHeard +
                           Heard{"round 1 report"};
    EXPECT_EQ(heard_, expected);
    ASSERT_EQ(recorder_.rounds.size(), 2u);
    const Round& round = recorder_.rounds[0];
    EXPECT_EQ(round.dataId, 1u);
    EXPECT_EQ(round.line, "tcp 127.0.0.1:" + std::to_string(peer_->port()));
    EXPECT_EQ(round.slave, 1);
    EXPECT_FALSE(round.replay);
    EXPECT_EQ(round.record.size(), 1009u);
    EXPECT_LT(std::chrono::system_clock::now() - round.saved, std::chrono::seconds(10));
    EXPECT_EQ(round.report["A相电压"].asDouble(), 2301.0);
    EXPECT_EQ(meter().polledRounds, 2);
}

TEST_F(SchedulerRounds, ATurnInWhichTheDeviceSavesNothingCompletesNone) {
    // The first round's first five blocks are answered, then the meter is
    // silent for good: no record saved, so no round, and the meter given up
    // after the second round without a reply.
    std::vector<Act> acts(5, Act::Answer);
    acts.resize(40, Act::Silent);
    make(acts, 100);
    publishers_.add(&recorder_);
    EXPECT_FALSE(run({0, 1, std::nullopt}));
    const Heard expected = times(5, "exchange 1 answered") +
                           Heard{"exchange 1 timed out", "answering 1 no", "exchange 1 timed out"};
    EXPECT_EQ(heard_, expected);
    EXPECT_TRUE(recorder_.rounds.empty());
    EXPECT_EQ(meter().polledRounds, 0);
    EXPECT_FALSE(meter().answering);
}

TEST_F(SchedulerRounds, AWriteIsHeardAfterTheRoundItFollows) {
    make();
    publishers_.add(&recorder_);
    WriteRequest write;
    write.address = 6008;
    write.values = {1};
    write.text = "6008=1";
    testing::internal::CaptureStderr();
    const bool well = run({0, 1, write});
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(well) << err;
    EXPECT_NE(err.find("vedhost: data id 1: write 6008=1 acknowledged"), std::string::npos) << err;
    const Heard expected =
        kRoundHeard + Heard{"answering 1 yes", "round 1 report", "exchange 1 answered"};
    EXPECT_EQ(heard_, expected);
}

TEST_F(SchedulerRounds, TheStoredRecordIsHeardAsAReplayAndNotStoredAgain) {
    make();
    HistoryStore store;
    std::string error;
    ASSERT_TRUE(store.open(":memory:", false, error)) << error;
    HistorySink history(store);
    publishers_.add(&history);
    publishers_.add(&recorder_);

    const std::vector<unsigned char> stored(1009, 0);
    {
        Scheduler scheduler(PollSettings{}, services_, publishers_);
        testing::internal::CaptureStderr();
        scheduler.replay(meter(), stored, "2024-03-07T09:05:02.123");
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, "vedhost: data id 1: cached record of 2024-03-07T09:05:02.123 loaded\n");
    }
    ASSERT_EQ(recorder_.rounds.size(), 1u);
    EXPECT_TRUE(recorder_.rounds[0].replay);
    // The device checks its alarms on the stored record too (none raised in it).
    EXPECT_EQ(heard_,
              (Heard{"alarm 1 2 00700000007 00700000007 cleared 1", "round 1 replay report"}));
    EXPECT_TRUE(store.list(std::nullopt).empty());
    // Replayed rounds are not polled rounds.
    EXPECT_EQ(meter().polledRounds, 0);

    // The polled round that follows is stored, once.
    ASSERT_TRUE(run({0, 1, std::nullopt}));
    const auto rows = store.list(std::nullopt);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].dataId, 1u);
    EXPECT_EQ(rows[0].record, recorder_.rounds.back().record);
    EXPECT_FALSE(recorder_.rounds.back().replay);
}

TEST_F(SchedulerRounds, TheReportIsFetchedOnlyWhenASinkNeedsIt) {
    // Each fetch is a control request the plug-in names on its console.
    for (bool needed : {false, true}) {
        SCOPED_TRACE(needed ? "a sink needs the report" : "none does");
        lines_.clear();
        heard_.clear();
        make();
        testpub::Recorder sink(heard_, "", needed);
        publishers_.clear();
        publishers_.add(&sink);
        testing::internal::CaptureStdout();
        ASSERT_TRUE(run({0, 2, std::nullopt}));
        const std::string out = testing::internal::GetCapturedStdout();
        std::size_t fetches = 0;
        for (auto at = out.find("ved96::DeviceIoControl 801"); at != std::string::npos;
             at = out.find("ved96::DeviceIoControl 801", at + 1))
            ++fetches;
        EXPECT_EQ(fetches, needed ? 2u : 0u) << out;
        ASSERT_EQ(sink.rounds.size(), 2u);
        EXPECT_EQ(sink.rounds[0].reportText.has_value(), needed);
    }
}

}  // namespace
}  // namespace vedhost

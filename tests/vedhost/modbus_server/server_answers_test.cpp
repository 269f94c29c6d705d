// Frames taken off the stream, and the answer each request gets: the bytes of
// every reply written out by hand from the Modbus TCP frame layout (MBAP
// header: transaction, protocol 0, length of unit id and PDU, unit id).
#include "modbus_server/server_answers.h"

#include <gtest/gtest.h>

#include <vector>

#include "modbus_server/register_map.h"

namespace vedhost {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

TEST(TakeFrame, JudgesTheHeaderBeforeWaitingForTheBody) {
    const struct {
        const char* name;
        Bytes bytes;
        Take expected;
        std::size_t used;
    } cases[] = {
        {"nothing", {}, Take::Incomplete, 0},
        {"a truncated header", {0, 1, 0, 0, 0}, Take::Incomplete, 0},
        {"protocol id 1, seen at once", {0, 1, 0, 1}, Take::Malformed, 0},
        {"length 0", {0, 1, 0, 0, 0, 0}, Take::Malformed, 0},
        {"length 1: a unit id without a function", {0, 1, 0, 0, 0, 1, 1}, Take::Malformed, 0},
        {"length 255", {0, 1, 0, 0, 0, 255}, Take::Malformed, 0},
        {"length 65535", {0, 1, 0, 0, 255, 255}, Take::Malformed, 0},
        {"length 254, the longest, still coming", {0, 1, 0, 0, 0, 254, 1, 3}, Take::Incomplete, 0},
        {"a read, whole", {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 2}, Take::Whole, 12},
        {"a read and the start of the next",
         {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 2, 0, 2, 0},
         Take::Whole,
         12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Frame frame;
        std::size_t used = 0;
        EXPECT_EQ(takeFrame(c.bytes.data(), c.bytes.size(), frame, used), c.expected);
        EXPECT_EQ(used, c.used);
    }
    Frame frame;
    std::size_t used = 0;
    const Bytes read = {0x12, 0x34, 0, 0, 0, 6, 7, 4, 0x17, 0x70, 0, 10};
    ASSERT_EQ(takeFrame(read.data(), read.size(), frame, used), Take::Whole);
    EXPECT_EQ(frame.transaction, 0x1234);
    EXPECT_EQ(frame.unit, 7);
    EXPECT_EQ(frame.pdu, (Bytes{4, 0x17, 0x70, 0, 10}));
}

TEST(ParseRequest, EachFunctionsLayout) {
    const struct {
        const char* name;
        Bytes pdu;
        Parse expected;
        Request::Kind kind;
    } cases[] = {
        {"read 1", {3, 0, 0, 0, 1}, Parse::Ok, Request::Kind::Read},
        {"read 125", {3, 0, 0, 0, 125}, Parse::Ok, Request::Kind::Read},
        {"read 0", {3, 0, 0, 0, 0}, Parse::BadValue, Request::Kind::Read},
        {"read 126", {3, 0, 0, 0, 126}, Parse::BadValue, Request::Kind::Read},
        {"input registers, read as holding", {4, 0, 0, 0, 2}, Parse::Ok, Request::Kind::Read},
        {"read one byte short", {3, 0, 0, 0}, Parse::Malformed, Request::Kind::Other},
        {"read one byte over", {3, 0, 0, 0, 1, 0}, Parse::Malformed, Request::Kind::Other},
        {"write one", {6, 0x17, 0x78, 0, 2}, Parse::Ok, Request::Kind::WriteOne},
        {"write one, short", {6, 0x17, 0x78, 0}, Parse::Malformed, Request::Kind::Other},
        {"write two", {16, 0x17, 0x78, 0, 2, 4, 0, 1, 0, 2}, Parse::Ok, Request::Kind::WriteMany},
        {"write two, byte count 3",
         {16, 0x17, 0x78, 0, 2, 3, 0, 1, 0},
         Parse::BadValue,
         Request::Kind::WriteMany},
        {"write 0", {16, 0x17, 0x78, 0, 0, 0}, Parse::BadValue, Request::Kind::WriteMany},
        {"write two, a value missing",
         {16, 0x17, 0x78, 0, 2, 4, 0, 1},
         Parse::Malformed,
         Request::Kind::Other},
        {"write, no byte count", {16, 0x17, 0x78, 0, 2}, Parse::Malformed, Request::Kind::Other},
        {"read coils", {1, 0, 0, 0, 1}, Parse::Ok, Request::Kind::Other},
        {"a function alone", {43}, Parse::Ok, Request::Kind::Other},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Request r;
        EXPECT_EQ(parseRequest(c.pdu, r), c.expected);
        if (c.expected != Parse::Malformed) {
            EXPECT_EQ(r.kind, c.kind);
        }
    }
    Request r;
    ASSERT_EQ(parseRequest({16, 0x17, 0x78, 0, 2, 4, 0, 1, 0xff, 0xfe}, r), Parse::Ok);
    EXPECT_EQ(r.address, 6008);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.values, (std::vector<std::uint16_t>{1, 0xfffe}));
}

// Three meters: data id 1 (unit 1) with a record, 2 (unit 2) without one,
// 3 (unit 3) whose record is old. Clients may write 6008..6017 of meter 1.
class Answers : public ::testing::Test {
  protected:
    Answers() : meters_({{1, 1}, {2, 2}, {3, 3}}, {{1, 6008, 6017}}, 3s) {
        record_.assign(kRecordBytes, 0);
        record_[4] = 0x01;  // register 0: 2305
        record_[5] = 0x09;
        record_[6] = 0x00;  // register 1: 65535 is not -1
        record_[6] = 0xff;
        record_[7] = 0xff;
        record_[982] = 3;  // register 6008
        meters_.round(1, record_.data(), record_.size(), now_);
        meters_.round(3, record_.data(), record_.size(), now_ - 4s);
    }

    // The reply to one request PDU from unit `unit`, transaction 0x0102.
    Decision ask(int unit, Bytes pdu) {
        return decide(Frame{0x0102, static_cast<std::uint8_t>(unit), std::move(pdu)}, meters_,
                      now_);
    }

    std::vector<std::uint8_t> record_;
    ServedMeters::Clock::time_point now_ = ServedMeters::Clock::now();
    ServedMeters meters_;
};

TEST_F(Answers, ReadsComeFromTheRecordAsTheMeterSentThem) {
    const Decision d = ask(1, {3, 0, 0, 0, 2});
    ASSERT_EQ(d.kind, Decision::Kind::Reply);
    EXPECT_EQ(d.reply, (Bytes{1, 2, 0, 0, 0, 7, 1, 3, 4, 0x09, 0x01, 0xff, 0xff}));
    // Function 4 reads the same registers and answers as function 4.
    EXPECT_EQ(ask(1, {4, 0, 0, 0, 2}).reply,
              (Bytes{1, 2, 0, 0, 0, 7, 1, 4, 4, 0x09, 0x01, 0xff, 0xff}));
    EXPECT_EQ(ask(1, {3, 0x17, 0x78, 0, 1}).reply, (Bytes{1, 2, 0, 0, 0, 5, 1, 3, 2, 0, 3}));
}

TEST_F(Answers, EachRefusalItsException) {
    const struct {
        const char* name;
        int unit;
        Bytes pdu;
        std::uint8_t exception;
    } cases[] = {
        {"read coils", 1, {1, 0, 0, 0, 1}, 1},
        {"an unknown function to an unknown unit", 9, {43, 14, 1, 0}, 1},
        {"write a coil", 1, {5, 0, 0, 0xff, 0}, 1},
        {"an unknown unit", 9, {3, 0, 0, 0, 1}, 10},
        {"broadcast unit 0", 0, {3, 0, 0, 0, 1}, 10},
        {"count 0", 1, {3, 0, 0, 0, 0}, 3},
        {"count 126", 1, {3, 0, 0, 0, 126}, 3},
        {"a register between blocks", 1, {3, 0, 72, 0, 1}, 2},
        {"a range running out of a block", 1, {3, 0, 70, 0, 3}, 2},
        {"past the last register", 1, {3, 0x17, 0x82, 0, 1}, 2},
        {"a meter without a round yet", 2, {3, 0, 0, 0, 1}, 11},
        {"a round older than the maximum age", 3, {3, 0, 0, 0, 1}, 11},
        {"a write outside the allowed registers", 1, {6, 0x17, 0x70, 0, 1}, 1},
        {"a write running past them", 1, {16, 0x17, 0x81, 0, 2, 4, 0, 1, 0, 1}, 1},
        {"a write to a meter with no allowed registers", 3, {6, 0x17, 0x78, 0, 1}, 1},
        {"a write of byte count 3", 1, {16, 0x17, 0x78, 0, 2, 3, 0, 1, 0}, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Decision d = ask(c.unit, c.pdu);
        ASSERT_EQ(d.kind, Decision::Kind::Reply);
        const std::uint8_t function = c.pdu[0];
        EXPECT_EQ(d.reply, (Bytes{1, 2, 0, 0, 0, 3, static_cast<std::uint8_t>(c.unit),
                                  static_cast<std::uint8_t>(function | 0x80), c.exception}));
    }
}

TEST_F(Answers, AMeterThatStopsAnsweringIsOfflineUntilItsNextRound) {
    meters_.answering(1, false);
    EXPECT_EQ(ask(1, {3, 0, 0, 0, 1}).reply.back(), 11);
    meters_.answering(1, true);
    EXPECT_EQ(ask(1, {3, 0, 0, 0, 1}).reply.size(), 11u);
    meters_.answering(1, false);
    meters_.round(1, record_.data(), record_.size(), now_);
    EXPECT_EQ(ask(1, {3, 0, 0, 0, 1}).reply.size(), 11u);
    // A record of another length is not a round of this meter.
    meters_.answering(1, false);
    meters_.round(1, record_.data(), record_.size() - 1, now_);
    EXPECT_EQ(ask(1, {3, 0, 0, 0, 1}).reply.back(), 11);
}

TEST_F(Answers, MalformedFramesCloseTheConnection) {
    EXPECT_EQ(ask(1, {3, 0, 0, 0}).kind, Decision::Kind::Close);
    EXPECT_EQ(ask(1, {16, 0x17, 0x78, 0, 2, 4, 0, 1}).kind, Decision::Kind::Close);
}

TEST_F(Answers, AllowedWritesAreHandedOnAndAnsweredByTheirOutcome) {
    const Decision one = ask(1, {6, 0x17, 0x78, 0, 2});
    ASSERT_EQ(one.kind, Decision::Kind::Write);
    EXPECT_EQ(one.dataId, 1u);
    EXPECT_EQ(one.request.address, 6008);
    EXPECT_EQ(one.request.values, (std::vector<std::uint16_t>{2}));
    const Decision many = ask(1, {16, 0x17, 0x7b, 0, 3, 6, 0, 1, 0, 1, 0, 1});
    ASSERT_EQ(many.kind, Decision::Kind::Write);
    EXPECT_EQ(many.request.count, 3);

    Frame f{9, 1, {6, 0x17, 0x78, 0, 2}};  // transaction, unit, PDU
    EXPECT_EQ(writeAnswer(f, one.request, WriteOutcome::Acknowledged),
              (Bytes{0, 9, 0, 0, 0, 6, 1, 6, 0x17, 0x78, 0, 2}));
    EXPECT_EQ(writeAnswer(f, one.request, WriteOutcome::Refused),
              (Bytes{0, 9, 0, 0, 0, 3, 1, 0x86, 4}));
    EXPECT_EQ(writeAnswer(f, one.request, WriteOutcome::NoReply),
              (Bytes{0, 9, 0, 0, 0, 3, 1, 0x86, 11}));
    f.pdu = {16, 0x17, 0x7b, 0, 3, 6, 0, 1, 0, 1, 0, 1};
    EXPECT_EQ(writeAnswer(f, many.request, WriteOutcome::Acknowledged),
              (Bytes{0, 9, 0, 0, 0, 6, 1, 16, 0x17, 0x7b, 0, 3}));

    const Decision refused = ask(1, {6, 0x17, 0x70, 0, 1});
    EXPECT_TRUE(refused.refusedWrite);
    EXPECT_EQ(refused.dataId, 1u);
    EXPECT_FALSE(ask(1, {3, 0, 0, 0, 1}).refusedWrite);
}

TEST(WriteAudit, NamesClientMeterRegistersValuesAndOutcome) {
    // Client, data id, unit, the request (kind, function, address, count, values), outcome.
    const WriteAudit a{
        "127.0.0.2", 4, 11, {Request::Kind::Other, 16, 6011, 2, {1, 0}}, WriteOutcome::Refused};
    const Json::Value j = auditJson(a);
    EXPECT_EQ(j["client"].asString(), "127.0.0.2");
    EXPECT_EQ(j["data_id"].asInt(), 4);
    EXPECT_EQ(j["unit"].asInt(), 11);
    EXPECT_EQ(j["function"].asInt(), 16);
    EXPECT_EQ(j["address"].asInt(), 6011);
    EXPECT_EQ(j["count"].asInt(), 2);
    EXPECT_EQ(j["values"].size(), 2u);
    EXPECT_EQ(j["values"][0].asInt(), 1);
    EXPECT_EQ(j["outcome"].asString(), "refused");
    for (const auto& [outcome, text] : {std::pair{WriteOutcome::Acknowledged, "acknowledged"},
                                        {WriteOutcome::NoReply, "no reply"},
                                        {WriteOutcome::NotAllowed, "not allowed"}})
        EXPECT_STREQ(outcomeText(outcome), text);
}

TEST(UnitRoutes, SlaveIdsUnlessUnitsAreGiven) {
    std::map<int, unsigned> routes;
    std::string error;
    ASSERT_TRUE(unitRoutes({}, {{1, 1}, {2, 2}, {7, 5}}, routes, error)) << error;
    EXPECT_EQ(routes, (std::map<int, unsigned>{{1, 1}, {2, 2}, {5, 7}}));
    // Two lines with a slave 1 each need units of their own.
    EXPECT_FALSE(unitRoutes({}, {{1, 1}, {2, 1}}, routes, error));
    EXPECT_EQ(error,
              "modbus_server: slave 1 is data id 1 and data id 2; give \"units\" to name each "
              "meter by a unit id of its own");
    ASSERT_TRUE(unitRoutes({{11, 1}, {12, 2}}, {{1, 1}, {2, 1}}, routes, error)) << error;
    EXPECT_EQ(routes, (std::map<int, unsigned>{{11, 1}, {12, 2}}));
    EXPECT_FALSE(unitRoutes({{11, 3}}, {{1, 1}}, routes, error));
}

}  // namespace
}  // namespace vedhost

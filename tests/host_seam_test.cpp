// The stand-in host's loop: how requests are carried out and replies handed
// to a Modbus device.
#include <gtest/gtest.h>

#include <vector>

#include "support/fake_host.h"

namespace {

// A device that records what the loop hands it and asks for a next read from
// inside process_payload, as a polling device does.
class Probe : public SPModbus {
  public:
    int depth = 0;
    int maxDepth = 0;
    int readsLeft = 0;
    std::vector<std::vector<std::uint16_t>> replies;
    int errors = 0;

    int process_payload(tab_type, unsigned int length) override {
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        replies.emplace_back(respBuf_, respBuf_ + length);
        if (readsLeft-- > 0) modbus_read_registers(10, 2);
        --depth;
        return 1;
    }
    int on_error() override {
        ++errors;
        return 0;
    }
};

class Loop : public ::testing::Test {
  protected:
    fake::Host host;
    Probe device;
};

TEST_F(Loop, RequestsMadeDuringAReplyAreCarriedOutAfterIt) {
    host.meter.registers = {{10, 7}, {11, 8}};
    device.readsLeft = 3;
    device.modbus_read_registers(10, 2);
    EXPECT_EQ(host::pump(device), 4);
    EXPECT_EQ(device.maxDepth, 1) << "no reply is delivered from within another";
    ASSERT_EQ(device.replies.size(), 4u);
    EXPECT_EQ(device.replies.back(), (std::vector<std::uint16_t>{7, 8}));
}

TEST_F(Loop, NewestRequestReplacesOneNotYetCarriedOut) {
    device.modbus_read_registers(0, 72);
    device.modbus_read_registers(6008, 10);
    EXPECT_EQ(host::pump(device), 1);
    EXPECT_EQ(host.meter.reads(), std::vector<std::string>{"6008,10"});
}

TEST_F(Loop, FailuresGoToOnErrorNotToTheDevice) {
    struct Case {
        const char* name;
        void (*arrange)(fake::Meter&);
    };
    const Case cases[] = {
        {"time-out", [](fake::Meter& m) { m.silentExchanges = 1; }},
        {"exception to a read", [](fake::Meter& m) { m.refused = {11}; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Host local;
        Probe probe;
        c.arrange(local.meter);
        probe.modbus_read_registers(10, 2);
        EXPECT_EQ(host::pump(probe), 1);
        EXPECT_EQ(probe.errors, 1);
        EXPECT_TRUE(probe.replies.empty());
    }
}

// A transport that answers every read with one register too few.
class ShortReplies : public host::Transport {
  public:
    bool open(SPModbus&) override { return true; }
    host::ModbusReply exchange(SPModbus&, const host::ModbusRequest& request) override {
        host::ModbusReply reply;
        reply.status = host::ModbusReply::Status::Ok;
        reply.words.assign(static_cast<std::size_t>(request.count - 1), 5);
        return reply;
    }
};

TEST_F(Loop, ReadAnsweredWithTooFewRegistersIsAFailedExchange) {
    ShortReplies transport;
    device.setTransport(&transport);
    device.modbus_read_registers(10, 2);
    host::pump(device);
    EXPECT_EQ(device.errors, 1);
    EXPECT_TRUE(device.replies.empty());
}

TEST_F(Loop, RefusedWritesReachTheDeviceAsEchoesThatCannotMatch) {
    host.meter.refused = {6008};
    const unsigned short values[] = {16, 2};
    device.modbus_write_register(6008, 0x1234);
    host::pump(device);
    ASSERT_EQ(device.replies.size(), 1u);
    EXPECT_NE(device.replies[0][0], 0x1234);

    device.modbus_write_registers(6008, 2, values);
    host::pump(device);
    ASSERT_EQ(device.replies.size(), 2u);
    EXPECT_NE(device.replies[1][0], 16) << "word 0 is not the function code of a good reply";
    EXPECT_EQ(device.errors, 0);
}

}  // namespace

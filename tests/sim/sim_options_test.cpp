// The simulator's command line, as tests and demos use it.
#include <gtest/gtest.h>

#include "options.h"

namespace vedsim {
namespace {

TEST(SimOptions, AcceptsTheDocumentedForms) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(parse_options({"--tcp", ":0", "--slave", "7", "--exception-at", "6008",
                               "--exception-at", "1400:2", "--drop-every", "5", "--pace"},
                              o, error))
        << error;
    EXPECT_EQ(o.transport, SimOptions::Transport::kTcp);
    EXPECT_EQ(o.host, "127.0.0.1");
    EXPECT_EQ(o.port, 0u);
    EXPECT_EQ(o.slave, 7u);
    EXPECT_EQ(o.faults.exception_at.at(6008), 4) << "default code: slave device failure";
    EXPECT_EQ(o.faults.exception_at.at(1400), 2);
    EXPECT_EQ(o.faults.drop_every, 5u);
    EXPECT_TRUE(o.faults.pace);

    SimOptions r;
    ASSERT_TRUE(
        parse_options({"--rtu", "/dev/ttyS1", "--baud", "19200", "--parity", "E"}, r, error));
    EXPECT_EQ(r.device, "/dev/ttyS1");
    EXPECT_EQ(r.baud, 19200u);
    EXPECT_EQ(r.parity, 'E');

    SimOptions t;
    ASSERT_TRUE(parse_options({"--tcp", "0.0.0.0:1502"}, t, error));
    EXPECT_EQ(t.host, "0.0.0.0");
    EXPECT_EQ(t.port, 1502u);
}

TEST(SimOptions, RejectsBadCommandLines) {
    const std::vector<std::vector<std::string>> rows = {
        {},
        {"--pty", "--tcp", "1502"},
        {"--rtu"},
        {"--tcp", "host:"},
        {"--tcp", "65536"},
        {"--pty", "--slave", "0"},
        {"--pty", "--slave", "248"},
        {"--pty", "--slave", "1x"},
        {"--pty", "--parity", "X"},
        {"--pty", "--baud", "0"},
        {"--pty", "--drop-every", "0"},
        {"--pty", "--delay-ms", "-1"},
        {"--pty", "--exception-at", "6008:0"},
        {"--pty", "--exception-at", "6008:128"},
        {"--pty", "--exception-at", "x"},
        {"--pty", "--verbose"},
    };
    for (const auto& args : rows) {
        SimOptions o;
        std::string error;
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        SCOPED_TRACE(joined);
        EXPECT_FALSE(parse_options(args, o, error));
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
}  // namespace vedsim

// The simulator's command line, as tests and demos use it.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "meter_model.h"
#include "options.h"

namespace vedsim {
namespace {

TEST(SimOptions, AcceptsTheDocumentedForms) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(parse_options({"--tcp", ":0", "--slave", "7", "--exception-at", "6008",
                               "--exception-at", "1400:2", "--drop-every", "5", "--pace",
                               "--strict-line"},
                              o, error))
        << error;
    EXPECT_EQ(o.transport, SimOptions::Transport::kTcp);
    EXPECT_EQ(o.host, "127.0.0.1");
    EXPECT_EQ(o.port, 0u);
    EXPECT_EQ(o.slaves, std::vector<unsigned>{7});
    EXPECT_EQ(o.faults.exception_at.at(6008), 4) << "default code: slave device failure";
    EXPECT_EQ(o.faults.exception_at.at(1400), 2);
    EXPECT_EQ(o.faults.drop_every, 5u);
    EXPECT_TRUE(o.faults.pace);
    EXPECT_TRUE(o.faults.strict_line);
    EXPECT_EQ(o.energy_start, 12345u);
    EXPECT_EQ(o.speed, 1u);

    SimOptions e;
    ASSERT_TRUE(
        parse_options({"--tcp", ":0", "--energy-start", "65535", "--speed", "10000"}, e, error))
        << error;
    EXPECT_EQ(e.energy_start, 65535u);
    EXPECT_EQ(e.speed, 10000u);

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
    EXPECT_EQ(t.faults.tcp_fault, TcpFault::kNone);

    SimOptions f;
    ASSERT_TRUE(parse_options({"--tcp", ":0", "--tcp-fault", "length"}, f, error));
    EXPECT_EQ(f.faults.tcp_fault, TcpFault::kLength);
    EXPECT_EQ(f.faults.faults_from, 0u) << "faults hit every request";

    const struct {
        const char* text;
        unsigned long from, to;
    } windows[] = {{"5", 5, 5}, {"5-6", 5, 6}, {"1-1000000", 1, 1000000}};
    for (const auto& w : windows) {
        SCOPED_TRACE(w.text);
        SimOptions d;
        ASSERT_TRUE(parse_options({"--pty", "--delay-ms", "400", "--faults-on", w.text}, d, error))
            << error;
        EXPECT_EQ(d.faults.faults_from, w.from);
        EXPECT_EQ(d.faults.faults_to, w.to);
    }
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
        {"--pty", "--faults-on", "0"},
        {"--pty", "--faults-on", "6-5"},
        {"--pty", "--faults-on", "5-"},
        {"--pty", "--faults-on", "-5"},
        {"--pty", "--faults-on"},
        {"--pty", "--exception-at", "6008:0"},
        {"--pty", "--exception-at", "6008:128"},
        {"--pty", "--exception-at", "x"},
        {"--pty", "--verbose"},
        {"--pty", "--slave", "1,1"},
        {"--pty", "--slave", "1,,2"},
        {"--pty", "--slave", "1,2,"},
        {"--pty", "--slave", "1,248"},
        {"--pty", "--slave", "1,2,3", "--image", "a.json", "--image", "b.json"},
        {"--pty", "--units", "u.json", "--slave", "2"},
        {"--pty", "--units", "u.json", "--image", "a.json"},
        {"--tcp", ":0", "--tcp-fault", "crc"},
        {"--tcp", ":0", "--energy-start", "65536"},
        {"--tcp", ":0", "--speed", "0"},
        {"--tcp", ":0", "--speed", "10001"},
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

TEST(SimOptions, SeveralUnitsOnOneLine) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(parse_options({"--pty", "--slave", "3,1,2", "--image", "a.json", "--image",
                               "b.json", "--image", "c.json"},
                              o, error))
        << error;
    EXPECT_EQ(o.slaves, (std::vector<unsigned>{3, 1, 2}));
    EXPECT_EQ(o.image_paths, (std::vector<std::string>{"a.json", "b.json", "c.json"}));
    SimOptions shared;
    ASSERT_TRUE(parse_options({"--pty", "--slave", "1,2", "--image", "a.json"}, shared, error));
    EXPECT_EQ(shared.image_paths.size(), 1u);
}

TEST(SimUnits, DocumentGivesEachUnitItsImage) {
    std::vector<UnitSetup> units;
    std::string error;
    ASSERT_TRUE(parse_units(R"({"10": "m10.json", "2": {"0": 2301}, "3": null, "4": "/abs.json"})",
                            "/etc/sim", units, error))
        << error;
    ASSERT_EQ(units.size(), 4u);
    EXPECT_EQ(units[0].slave, 2u) << "ordered by unit id, not as text";
    EXPECT_EQ(units[0].source, UnitSetup::Source::kInline);
    EXPECT_NE(units[0].image.find("2301"), std::string::npos);
    EXPECT_EQ(units[1].source, UnitSetup::Source::kLive);
    EXPECT_EQ(units[2].image, "/abs.json");
    EXPECT_EQ(units[3].slave, 10u);
    EXPECT_EQ(units[3].image, "/etc/sim/m10.json") << "relative to the document";

    for (const char* bad : {"[]", "{}", R"({"0": null})", R"({"248": null})", R"({"x": null})",
                            R"({"1": 5})", R"({"1": null, "01": null})", "{"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(parse_units(bad, "", units, error));
        EXPECT_FALSE(error.empty());
    }
}

// The README's walk-through: fixed images for units 1 and 2, live unit 3.
TEST(SimUnits, TheExampleLoads) {
    std::ifstream in(VED_SOURCE_DIR "/examples/sim-units.json");
    std::ostringstream text;
    text << in.rdbuf();
    std::vector<UnitSetup> units;
    std::string error;
    ASSERT_TRUE(parse_units(text.str(), "examples", units, error)) << error;
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0].source, UnitSetup::Source::kInline);
    EXPECT_EQ(units[1].source, UnitSetup::Source::kInline);
    EXPECT_EQ(units[2].source, UnitSetup::Source::kLive);
    for (const auto& unit : {units[0], units[1]}) {
        std::map<uint16_t, uint16_t> image;
        EXPECT_TRUE(parse_register_image(unit.image, image, error)) << error;
    }
}

}  // namespace
}  // namespace vedsim

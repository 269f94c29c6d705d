// vedhost's Modbus server as integrators meet it: the real host polling three
// simulated meters over loopback TCP, read by the project's own libmodbus
// client, Debian's mbpoll and python3-pymodbus, each block compared word for
// word with what the simulator holds; each exception provoked; writes allowed,
// refused, refused by the meter and lost on a meter that does not answer,
// each in the event log and on MQTT; hostile clients that leave polling and
// the other clients unharmed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <memory>

#include "../support/loopback_client.h"
#include "mqtt_broker.h"

namespace {

using namespace e2e;

// The ten blocks a ved96 is polled in: start register and count, from the
// meter's register table.
const struct Block {
    int start, count;
} kBlocks[] = {{0, 72},    {100, 2},    {102, 3},   {500, 8},  {1400, 120},
               {1520, 78}, {1600, 120}, {1720, 78}, {6000, 8}, {6008, 10}};

// The simulated meters' images: every register of every block a value of its
// own, different on each meter, the highest (65535) among them.
int imageValue(int unit, int reg) { return reg == 1797 ? 65535 : (reg * 7 + unit * 1000) % 65535; }

std::string imageJson(int unit) {
    std::string text = "{";
    for (const Block& b : kBlocks)
        for (int r = b.start; r < b.start + b.count; ++r)
            text += (text.size() > 1 ? ", \"" : "\"") + std::to_string(r) +
                    "\": " + std::to_string(imageValue(unit, r));
    return text + "}";
}

// A raw TCP connection from `from`, for frames no client library sends;
// it never waits to send, as a client that stops reading would not.
using RawClient = testnet::LoopbackClient;

// The project's own libmodbus client, connected to 127.0.0.1:port.
class Client {
  public:
    explicit Client(int port) : ctx_(modbus_new_tcp("127.0.0.1", port)) {
        modbus_set_response_timeout(ctx_, 5, 0);
        connected_ = modbus_connect(ctx_) == 0;
    }
    ~Client() {
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
    bool connected() const { return connected_; }
    // The registers, or the Modbus exception code as a negative number (-1
    // for anything else).
    std::vector<int> read(int unit, int start, int count) {
        modbus_set_slave(ctx_, unit);
        std::vector<std::uint16_t> words(static_cast<std::size_t>(std::max(count, 1)));
        if (modbus_read_registers(ctx_, start, count, words.data()) != count) return {failure()};
        return std::vector<int>(words.begin(), words.begin() + count);
    }
    // 0 when acknowledged with the echo, else as read().
    int write(int unit, int reg, std::vector<std::uint16_t> values) {
        modbus_set_slave(ctx_, unit);
        const int rc =
            values.size() == 1
                ? modbus_write_register(ctx_, reg, values[0])
                : modbus_write_registers(ctx_, reg, static_cast<int>(values.size()), values.data());
        return rc < 0 ? failure() : 0;
    }
    int readCoil(int unit) {
        modbus_set_slave(ctx_, unit);
        std::uint8_t bit = 0;
        return modbus_read_bits(ctx_, 0, 1, &bit) < 0 ? failure() : 0;
    }

  private:
    static int failure() {
        return errno > MODBUS_ENOBASE && errno < MODBUS_ENOBASE + 16 ? -(errno - MODBUS_ENOBASE)
                                                                     : -100;
    }
    modbus_t* ctx_;
    bool connected_ = false;
};

std::vector<int> expected(int unit, const Block& b) {
    std::vector<int> words;
    for (int r = b.start; r < b.start + b.count; ++r) words.push_back(imageValue(unit, r));
    return words;
}

class ModbusServerE2E : public ::testing::Test {
  protected:
    // Three simulated meters (slaves 1 to 3) and a fourth that is not there
    // (slave 4) on one TCP line polled every 0.2 s; clients may write
    // 6008-6017 of meter 1, register 0 of meter 1 (which the meter refuses)
    // and 6008-6017 of meter 4.
    void start(const std::string& extraMembers = "", std::vector<std::string> extra = {},
               const std::string& interval = "0.2") {
        std::string units = "{";
        for (int u = 1; u <= 3; ++u)
            units += (u > 1 ? ", \"" : "\"") + std::to_string(u) + "\": " + imageJson(u);
        units += "}";
        const std::string unitsPath = dir_.write("units.json", units);
        children_.push_back(std::make_unique<Child>(
            std::vector<std::string>{env("VED96_SIM", VED96_SIM_PATH), "--tcp", "127.0.0.1:0",
                                     "--units", unitsPath},
            dir_ / "sim.out", dir_ / "sim.err", dir_.path().string()));
        ASSERT_TRUE(eventually(
            [&] {
                const auto lines = readLines(dir_ / "sim.out");
                if (lines.empty()) return false;
                sim_ = lines[0].substr(lines[0].find(' ') + 1);
                simPort_ = std::stoi(sim_.substr(sim_.rfind(':') + 1));
                return true;
            },
            kDeadline));
        const std::string config = dir_.write(
            "vedhost.json", R"({"lines": [{"tcp": ")" + sim_ + R"(", "timeout_ms": 200, "meters": [
                  {"slave": 1, "data_id": 1}, {"slave": 2, "data_id": 2},
                  {"slave": 3, "data_id": 3}, {"slave": 4, "data_id": 4}]}],
                "modbus_server": {"listen": "127.0.0.1:0", "writes": [
                  {"data_id": 1, "registers": "6008-6017"}, {"data_id": 1, "registers": "0"},
                  {"data_id": 4, "registers": "6008-6017"}])" +
                                extraMembers + "}}");
        std::vector<std::string> args = {env("VEDHOST", VEDHOST_PATH),
                                         "--config",
                                         config,
                                         "--interval",
                                         interval,
                                         "--plugin-log",
                                         dir_ / "plugin.log",
                                         "--events",
                                         dir_ / "events.jsonl"};
        args.insert(args.end(), extra.begin(), extra.end());
        children_.push_back(std::make_unique<Child>(args, dir_ / "host.out", dir_ / "host.err",
                                                    dir_.path().string()));
        const std::string mark = "vedhost: modbus server on 127.0.0.1:";
        ASSERT_TRUE(eventually(
            [&] {
                const std::string err = readText(dir_ / "host.err");
                const auto at = err.find(mark);
                if (at == std::string::npos || err.find('\n', at) == std::string::npos)
                    return false;
                port_ = std::stoi(err.substr(at + mark.size()));
                return true;
            },
            kDeadline))
            << readText(dir_ / "host.err");
        // Served once each meter has completed a round.
        Client c(port_);
        ASSERT_TRUE(eventually(
            [&] {
                return c.read(1, 0, 1).at(0) >= 0 && c.read(2, 0, 1).at(0) >= 0 &&
                       c.read(3, 0, 1).at(0) >= 0;
            },
            kDeadline))
            << readText(dir_ / "host.err");
    }

    // Rounds the host has completed so far, as its event log tells.
    long rounds() {
        return static_cast<long>(countOf(readText(dir_ / "events.jsonl"), "\"SaveDeviceHistory\""));
    }

    // The event log's lines of the server's writes.
    std::vector<Json::Value> writeEvents() {
        std::vector<Json::Value> out;
        for (const std::string& line : readLines(dir_ / "events.jsonl"))
            if (line.find("\"ModbusServerWrite\"") != std::string::npos)
                out.push_back(parseJson(line));
        return out;
    }

    int run(const std::vector<std::string>& argv, std::string& out) {
        Child c(argv, dir_ / "run.out", dir_ / "run.err", dir_.path().string());
        const auto code = c.wait(kDeadline);
        out = readText(dir_ / "run.out");
        return code.value_or(-1);
    }

    Scratch dir_;
    std::vector<std::unique_ptr<Child>> children_;
    std::string sim_;
    int simPort_ = 0;
    int port_ = 0;
};

TEST_F(ModbusServerE2E, EveryClientReadsEveryBlockAsTheSimulatorHoldsIt) {
    start();
    Client host(port_), sim(simPort_);
    // The project's libmodbus client, both function codes, against the
    // simulator's own answers and the image it was given.
    for (int unit = 1; unit <= 3; ++unit)
        for (const Block& b : kBlocks) {
            SCOPED_TRACE("unit " + std::to_string(unit) + " block " + std::to_string(b.start));
            const std::vector<int> fromSim = sim.read(unit, b.start, b.count);
            EXPECT_EQ(fromSim, expected(unit, b));
            EXPECT_EQ(host.read(unit, b.start, b.count), fromSim);
        }

    // mbpoll, holding registers shown in hexadecimal.
    for (int unit = 1; unit <= 3; ++unit)
        for (const Block& b : kBlocks) {
            SCOPED_TRACE("mbpoll unit " + std::to_string(unit) + " block " +
                         std::to_string(b.start));
            std::string out;
            ASSERT_EQ(
                run({env("MBPOLL", "/usr/bin/mbpoll"), "-m", "tcp", "-p", std::to_string(port_),
                     "-a", std::to_string(unit), "-r", std::to_string(b.start), "-c",
                     std::to_string(b.count), "-0", "-1", "-t", "4:hex", "127.0.0.1"},
                    out),
                0)
                << out;
            // "[6008]: \t0x0003": one line per register.
            std::vector<int> words;
            std::istringstream lines(out);
            for (std::string line; std::getline(lines, line);) {
                const auto hex = line.find("]: \t0x");
                if (line.rfind("[", 0) == 0 && hex != std::string::npos)
                    words.push_back(std::stoi(line.substr(hex + 4), nullptr, 16));
            }
            EXPECT_EQ(words, expected(unit, b));
        }

    // python3-pymodbus.
    std::string script =
        "import sys\nfrom pymodbus.client import ModbusTcpClient\n"
        "c = ModbusTcpClient('127.0.0.1', port=int(sys.argv[1]))\n"
        "assert c.connect()\n"
        "for unit in (1, 2, 3):\n"
        "    for start, count in (";
    for (const Block& b : kBlocks)
        script += "(" + std::to_string(b.start) + ", " + std::to_string(b.count) + "), ";
    script +=
        "):\n"
        "        r = c.read_holding_registers(start, count, slave=unit)\n"
        "        print(unit, start, ' '.join(str(w) for w in r.registers))\n";
    std::string out;
    ASSERT_EQ(run({env("PYTHON3", "/usr/bin/python3"), dir_.write("read.py", script),
                   std::to_string(port_)},
                  out),
              0)
        << readText(dir_ / "run.err");
    std::string want;
    for (int unit = 1; unit <= 3; ++unit)
        for (const Block& b : kBlocks) {
            want += std::to_string(unit) + " " + std::to_string(b.start);
            for (int w : expected(unit, b))
                want += (want.back() == ' ' ? "" : " ") + std::to_string(w);
            want += "\n";
        }
    EXPECT_EQ(out, want);
}

TEST_F(ModbusServerE2E, EachRefusalItsException) {
    start();
    Client c(port_);
    EXPECT_EQ(c.readCoil(1), -1);              // illegal function
    EXPECT_EQ(c.read(1, 72, 1).at(0), -2);     // between the blocks
    EXPECT_EQ(c.read(1, 1790, 10).at(0), -2);  // out of the last harmonics block
    EXPECT_EQ(c.read(9, 0, 1).at(0), -10);     // no meter is unit 9
    EXPECT_EQ(c.read(4, 0, 1).at(0), -11);     // a meter that does not answer
    // Counts libmodbus would not send.
    RawClient raw(port_);
    raw.sendNoWait({0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 0});
    EXPECT_EQ(raw.receive(9), (std::vector<std::uint8_t>{0, 1, 0, 0, 0, 3, 1, 0x83, 3}));
    raw.sendNoWait({0, 2, 0, 0, 0, 6, 1, 3, 0, 0, 0, 126});
    EXPECT_EQ(raw.receive(9), (std::vector<std::uint8_t>{0, 2, 0, 0, 0, 3, 1, 0x83, 3}));
    // The same client goes on reading.
    EXPECT_EQ(c.read(1, 0, 2), expected(1, {0, 2}));
}

TEST_F(ModbusServerE2E, RecordsOlderThanTheMaximumAgeAreNotServed) {
    // A round every 3 s, served for 0.5 s after it ends: the meter answers
    // throughout, its record ages in between.
    start(R"(, "max_age": 0.5)", {}, "3");
    Client c(port_);
    EXPECT_TRUE(eventually([&] { return c.read(1, 0, 1).at(0) == -11; }, kDeadline));
    EXPECT_TRUE(eventually([&] { return c.read(1, 0, 1) == expected(1, {0, 1}); }, kDeadline));
}

TEST_F(ModbusServerE2E, WritesWhereAllowedReachTheMeterEachAuditedOnce) {
    Broker broker(dir_);
    broker.start();
    Subscriber subscriber(broker.port(), false, "", "", "ved96/+/write");
    start("", {"--mqtt", broker.address()});
    Client c(port_), sim(simPort_);

    // Acknowledged: echoed, on the meter, and served from the next round.
    EXPECT_EQ(c.write(1, 6008, {2}), 0);
    EXPECT_EQ(sim.read(1, 6008, 1), std::vector<int>{2});
    EXPECT_TRUE(eventually([&] { return c.read(1, 6008, 1) == std::vector<int>{2}; }, kDeadline));
    EXPECT_EQ(c.write(1, 6011, {1, 1, 0}), 0);
    EXPECT_EQ(sim.read(1, 6011, 3), (std::vector<int>{1, 1, 0}));
    // Not allowed: exception 1, and the meter untouched.
    EXPECT_EQ(c.write(1, 6000, {1}), -1);
    EXPECT_EQ(c.write(2, 6008, {1}), -1);
    EXPECT_EQ(sim.read(1, 6000, 1), expected(1, {6000, 1}));
    // Allowed, but the meter refuses it (a measurement): exception 4.
    EXPECT_EQ(c.write(1, 0, {1}), -4);
    // Allowed, but the meter does not answer: exception 11.
    EXPECT_EQ(c.write(4, 6008, {1}), -11);

    const struct {
        int dataId, address, count;
        const char* outcome;
    } audited[] = {{1, 6008, 1, "acknowledged"}, {1, 6011, 3, "acknowledged"},
                   {1, 6000, 1, "not allowed"},  {2, 6008, 1, "not allowed"},
                   {1, 0, 1, "refused"},         {4, 6008, 1, "no reply"}};
    const std::vector<Json::Value> events = writeEvents();
    ASSERT_EQ(events.size(), std::size(audited));
    for (std::size_t i = 0; i < events.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(events[i]["client"].asString(), "127.0.0.1");
        EXPECT_EQ(events[i]["data_id"].asInt(), audited[i].dataId);
        EXPECT_EQ(events[i]["address"].asInt(), audited[i].address);
        EXPECT_EQ(events[i]["count"].asInt(), audited[i].count);
        EXPECT_EQ(events[i]["values"].size(), static_cast<unsigned>(audited[i].count));
        EXPECT_EQ(events[i]["outcome"].asString(), audited[i].outcome);
    }
    EXPECT_EQ(events[1]["values"][2].asInt(), 0);
    // One MQTT message each, under the meter's own topic.
    ASSERT_TRUE(
        eventually([&] { return subscriber.messages().size() >= std::size(audited); }, kDeadline));
    std::vector<Json::Value> messages;
    for (const Message& m : subscriber.messages()) {
        messages.push_back(parseJson(m.payload));
        EXPECT_EQ(m.topic, "ved96/" + messages.back()["data_id"].asString() + "/write");
    }
    EXPECT_EQ(messages.size(), std::size(audited));
    std::map<std::string, int> outcomes;
    for (const Json::Value& m : messages) ++outcomes[m["outcome"].asString()];
    EXPECT_EQ(outcomes,
              (std::map<std::string, int>{
                  {"acknowledged", 2}, {"not allowed", 2}, {"refused", 1}, {"no reply", 1}}));
}

TEST_F(ModbusServerE2E, HostileClientsLeavePollingAndOtherClientsUnharmed) {
    start();
    Client reader(port_);
    // A wrong MBAP length, a wrong protocol id, a read one byte long: each
    // closes its own connection.
    for (const std::vector<std::uint8_t>& frame :
         {std::vector<std::uint8_t>{0, 1, 0, 0, 1, 0, 1, 3, 0, 0, 0, 1},
          std::vector<std::uint8_t>{0, 1, 0, 9, 0, 6, 1, 3, 0, 0, 0, 1},
          std::vector<std::uint8_t>{0, 1, 0, 0, 0, 7, 1, 3, 0, 0, 0, 1, 0}}) {
        RawClient hostile(port_);
        hostile.sendNoWait(frame);
        EXPECT_TRUE(hostile.closedByServer());
    }
    // A truncated header, left hanging; a client that never reads its
    // replies; a thousand connections at once.
    RawClient truncated(port_, "127.0.0.2");
    truncated.sendNoWait({0, 1, 0, 0});
    RawClient deaf(port_, "127.0.0.3");
    std::vector<std::uint8_t> requests;
    for (int i = 0; i < 1000; ++i) {
        const std::vector<std::uint8_t> r{static_cast<std::uint8_t>(i >> 8),
                                          static_cast<std::uint8_t>(i),
                                          0,
                                          0,
                                          0,
                                          6,
                                          1,
                                          3,
                                          6,
                                          0x40,
                                          0,
                                          120};
        requests.insert(requests.end(), r.begin(), r.end());
    }
    for (int i = 0; i < 10; ++i) deaf.sendNoWait(requests);
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
    setrlimit(RLIMIT_NOFILE, &files);
    std::vector<std::unique_ptr<RawClient>> flood;
    for (int i = 0; i < 1000; ++i) flood.push_back(std::make_unique<RawClient>(port_, "127.0.0.4"));

    // The other client is still served, and the rounds go on.
    const long before = rounds();
    for (int i = 0; i < 50; ++i) ASSERT_EQ(reader.read(2, 1400, 120), expected(2, {1400, 120}));
    EXPECT_TRUE(eventually([&] { return rounds() >= before + 20; }, kDeadline));
    EXPECT_TRUE(children_.back()->running());
}

}  // namespace

// A serial line's device taken for one host, and opened again when it went:
// the back-off between attempts, which errors mean the device is gone, the
// lock on a real file, and a line whose device is missing and then appears
// behind its link.
#include "lines/reopen.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <thread>

#include "hosting/host_services.h"
#include "lines/modbus_line.h"
#include "lines/serial_port.h"
#include "tests/vedhost/lines/meter_peers.h"

namespace vedhost {
namespace {

using namespace std::chrono_literals;
using Clock = ReopenBackoff::Clock;

TEST(ReopenBackoff, OneSecondThenTwiceAsLongUpToThirtySeconds) {
    ReopenBackoff backoff;
    const Clock::time_point t0{};
    EXPECT_TRUE(backoff.due(t0));  // nothing failed yet
    // Each failure, and the wait it sets, by hand: 1, 2, 4, 8, 16, 30, 30 s.
    const int waits[] = {1, 2, 4, 8, 16, 30, 30};
    Clock::time_point now = t0;
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE("failure " + std::to_string(i + 1));
        backoff.failed(now);
        EXPECT_EQ(backoff.wait(), std::chrono::seconds(waits[i]));
        EXPECT_FALSE(backoff.due(now + std::chrono::seconds(waits[i]) - 1ms));
        EXPECT_TRUE(backoff.due(now + std::chrono::seconds(waits[i])));
        now += std::chrono::seconds(waits[i]);
    }
    EXPECT_EQ(backoff.failures(), 7);
    // Open again: the next going starts at a second.
    backoff.opened();
    EXPECT_TRUE(backoff.due(now));
    backoff.failed(now);
    EXPECT_EQ(backoff.wait(), 1s);
}

TEST(ReopenBackoff, WhichErrorsMeanTheDeviceIsGone) {
    const struct {
        int error;
        bool gone;
    } cases[] = {
        {EIO, true},        {ENXIO, true},      {ENODEV, true}, {EBADF, true},
        {EPIPE, true},      {ECONNRESET, true},  // a hang-up, as libmodbus names it
        {ETIMEDOUT, false}, {EAGAIN, false},    {EINTR, false}, {0, false},
    };
    for (const auto& c : cases) EXPECT_EQ(deviceGone(c.error), c.gone) << c.error;
}

TEST(SerialLock, ASecondTakerIsToldWhoHoldsIt) {
    char name[] = "/tmp/vedhost-lock-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::string error;
    {
        SerialLock first, second;
        EXPECT_EQ(first.take(name, error), SerialLock::Taken::Yes) << error;
        EXPECT_EQ(second.take(name, error), SerialLock::Taken::Held);
        std::string self;
        std::getline(std::ifstream("/proc/self/comm"), self);
        EXPECT_EQ(error, std::string(name) + " is held by process " + std::to_string(getpid()) +
                             " (" + self + ")")
            << error;
        first.release();
        EXPECT_EQ(second.take(name, error), SerialLock::Taken::Yes) << error;
    }
    std::filesystem::remove(name);
    SerialLock none;
    EXPECT_EQ(none.take(name, error), SerialLock::Taken::NotOpened);
    EXPECT_EQ(error, "No such file or directory");
}

struct Probe : SPModbus {
    int process_payload(tab_type, unsigned int) override { return 0; }
};

// The device missing behind its link, then there: exchanges fail at once
// while it is missing, it is tried again a second later, and the line is up
// again, once, with one reopen counted.
TEST(ModbusLine, AMissingDeviceIsOpenedOnceItIsThere) {
    char dir[] = "/tmp/vedhost-reopen-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/ttyUSB0";
    LineConfig config;
    config.kind = LineConfig::Kind::Rtu;
    config.device = link;
    config.timeoutMs = 200;
    HostServices services{nullptr, false};
    ModbusLine line(config, services);
    Probe device;
    device.slaveId_ = 1;
    host::ModbusRequest read;
    read.count = 2;

    std::string error;
    EXPECT_FALSE(line.connect(error));
    EXPECT_FALSE(line.heldElsewhere());
    EXPECT_EQ(error, "cannot open rtu " + link + ": No such file or directory");
    EXPECT_FALSE(line.health().up);
    // Before the second has passed, nothing is tried: the answer is at once.
    const auto asked = Clock::now();
    const host::ModbusReply waiting = line.exchange(device, read);
    EXPECT_EQ(waiting.status, host::ModbusReply::Status::Failed);
    EXPECT_EQ(waiting.error.rfind("rtu " + link + ": adapter gone: ", 0), 0u) << waiting.error;
    EXPECT_LT(Clock::now() - asked, 100ms);

    peers::PtyPeer meter;
    std::filesystem::create_symlink(meter.path(), link);
    std::thread answer([&] {
        const peers::Bytes request = meter.request(8);
        if (!request.empty()) meter.send(peers::withCrc({1, 3, 4, 0, 1, 0, 2}));
    });
    host::ModbusReply reply;
    const auto until = Clock::now() + 5s;
    while (reply.status != host::ModbusReply::Status::Ok && Clock::now() < until) {
        reply = line.exchange(device, read);
        if (reply.status != host::ModbusReply::Status::Ok) std::this_thread::sleep_for(50ms);
    }
    answer.join();
    EXPECT_EQ(reply.status, host::ModbusReply::Status::Ok) << reply.error;
    EXPECT_EQ(reply.words, (std::vector<std::uint16_t>{1, 2}));
    const ModbusLine::Health health = line.health();
    EXPECT_TRUE(health.up);
    EXPECT_EQ(health.reopens, 1);
    std::filesystem::remove_all(dir);
}

// A TCP endpoint is down only while it cannot be reached: not when a meter
// behind it falls silent and its connection is made anew.
TEST(ModbusLine, ATcpLineIsDownWhileItsEndpointCannotBeReached) {
    int closed = 0;
    {
        peers::TcpMeter gone;
        closed = gone.port();
    }
    LineConfig config;
    config.kind = LineConfig::Kind::Tcp;
    config.host = "127.0.0.1";
    config.port = closed;
    config.timeoutMs = 200;
    HostServices services{nullptr, false};
    {
        ModbusLine line(config, services);
        std::string error;
        EXPECT_FALSE(line.connect(error));
        EXPECT_FALSE(line.health().up);
        EXPECT_NE(line.health().error.find("cannot open tcp 127.0.0.1:"), std::string::npos);
    }
    peers::TcpMeter silent({peers::TcpMeter::Act::Silent, peers::TcpMeter::Act::Answer});
    config.port = silent.port();
    ModbusLine line(config, services);
    Probe device;
    device.slaveId_ = 1;
    host::ModbusRequest read;
    read.count = 2;
    EXPECT_EQ(line.exchange(device, read).error, "time-out");
    EXPECT_EQ(line.exchange(device, read).status, host::ModbusReply::Status::Ok);
    EXPECT_EQ(silent.connections(), 2);
    const ModbusLine::Health health = line.health();
    EXPECT_TRUE(health.up);
    EXPECT_EQ(health.reopens, 0);
}

}  // namespace
}  // namespace vedhost

// vedhost as systemd runs it with Type=notify and a watchdog: the test plays
// the service manager, a datagram socket named by NOTIFY_SOCKET with
// WATCHDOG_USEC set, while vedhost polls two simulated meters over loopback
// TCP. One simulator is stopped (SIGSTOP) mid-run: its line's thread waits
// on a request with a long time-out, held stuck, and the watchdog pings must
// stop within the watchdog interval, while the other line polls on, until
// the line gets somewhere again.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "notify_socket.h"
#include "processes.h"

namespace {

using namespace e2e;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = 30000ms;
constexpr auto kWatchdog = 2000ms;
// One round beyond the watchdog interval: the host looks at its lines every
// 0.1 s and the test reads the socket every 20 ms; the rest is for a loaded
// machine.
constexpr auto kRound = 500ms;

class ServiceE2E : public ::testing::Test {
  protected:
    // A simulator on a free loopback port; returns HOST:PORT.
    std::string startSim(const std::string& name) {
        children_.push_back(std::make_unique<Child>(
            std::vector<std::string>{env("VED96_SIM", VED96_SIM_PATH), "--tcp", "127.0.0.1:0"},
            dir_ / (name + ".out"), dir_ / (name + ".err"), dir_.path().string()));
        std::string where;
        EXPECT_TRUE(eventually([&] {
            const auto lines = readLines(dir_ / (name + ".out"));
            if (lines.empty()) return false;
            where = lines[0].substr(lines[0].find(' ') + 1);
            return true;
        }));
        return where;
    }

    // vedhost with the service manager's environment; a watchdog meant for
    // the process `watchdogPid` when one is given.
    Child& startHost(const std::vector<std::string>& args, const NotifySocket& notify,
                     const std::string& watchdogPid = "") {
        std::vector<std::string> argv = {env("VEDHOST", VEDHOST_PATH)};
        argv.insert(argv.end(), args.begin(), args.end());
        setenv("NOTIFY_SOCKET", notify.path().c_str(), 1);
        setenv("WATCHDOG_USEC", std::to_string(kWatchdog.count() * 1000).c_str(), 1);
        if (!watchdogPid.empty()) setenv("WATCHDOG_PID", watchdogPid.c_str(), 1);
        children_.push_back(std::make_unique<Child>(argv, dir_ / "host.out", dir_ / "host.err",
                                                    dir_.path().string()));
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
        return *children_.back();
    }
    std::string hostErr() { return readText(dir_ / "host.err"); }

    Scratch dir_;
    std::vector<std::unique_ptr<Child>> children_;
};

// The host's events of one meter, by name, as (time in milliseconds since
// 1970, event); a line still being written is left for the next read.
std::vector<std::pair<std::int64_t, Json::Value>> eventsOf(const std::string& events,
                                                           unsigned dataId, const char* name) {
    std::vector<std::pair<std::int64_t, Json::Value>> out;
    const std::string mark = std::string("\"event\":\"") + name + "\"";
    for (const auto& line : readLines(events)) {
        if (line.find(mark) == std::string::npos) continue;
        Json::Value e;
        if (!Json::Reader().parse(line, e) || !e.isObject() || e["data_id"].asUInt() != dataId)
            continue;
        out.emplace_back(localTextMs(e["time"].asString()), e);
    }
    return out;
}

TEST_F(ServiceE2E, ReadyStatusAndWatchdogPingsThatStopWhileALineIsStuck) {
    NotifySocket notify(dir_ / "notify");
    const std::string quick = startSim("quick");
    const std::string slow = startSim("held");
    Child* held = children_.back().get();
    // The held line waits up to a minute for a reply: far longer than the
    // watchdog interval, so a meter that stops there looks like a hang.
    const std::string config = dir_.write(
        "config.json", "{\"lines\": [{\"tcp\": \"" + quick +
                           "\", \"timeout_ms\": 500, \"meters\": [{\"data_id\": 1}]},"
                           " {\"tcp\": \"" +
                           slow + "\", \"timeout_ms\": 60000, \"meters\": [{\"data_id\": 2}]}]}");
    const std::string events = dir_ / "events.jsonl";
    Child& host = startHost({"--config", config, "--interval", "0.1", "--plugin-log",
                             dir_ / "plugin.log", "--events", events},
                            notify);

    ASSERT_TRUE(eventually([&] { return notify.count("WATCHDOG=1") >= 3; }, kDeadline))
        << hostErr();
    const auto& first = notify.messages().front().text;
    EXPECT_EQ(first.rfind("READY=1\nSTATUS=", 0), 0u) << first;
    // Which meter answers first is a race, so only the status now is pinned.
    EXPECT_TRUE(eventually([&] { return notify.status() == "2 of 2 meters answering"; }, kDeadline))
        << notify.status();
    EXPECT_EQ(countOf(hostErr(), "vedhost: watchdog: tcp " + slow +
                                     ": a response time-out of 60000 ms is not well under the"
                                     " watchdog interval of 2000 ms"),
              1u)
        << hostErr();
    EXPECT_EQ(countOf(hostErr(), "response time-out of 500 ms"), 0u) << hostErr();

    // Held: no ping for twice the interval while the other line goes on.
    // A host starved for seconds by a loaded machine (a sanitizer build) may
    // already have said once that a line made no progress, and that it makes
    // progress again; what the hold makes it say is counted from here.
    const std::string stuckLine = "vedhost: watchdog: tcp " + slow +
                                  " made no progress for longer than 2000 ms; systemd is no"
                                  " longer told all is well\n";
    const std::string progressLine = "vedhost: watchdog: every line makes progress again\n";
    const std::size_t stuckBefore = countOf(hostErr(), stuckLine);
    const std::size_t progressBefore = countOf(hostErr(), progressLine);
    const auto stopped = Clock::now();
    const std::int64_t stoppedMs = nowUnixMs();
    held->signal(SIGSTOP);
    ASSERT_TRUE(eventually(
        [&] {
            const auto last = std::max(notify.last("WATCHDOG=1"), stopped);
            return Clock::now() - last > 2 * kWatchdog;
        },
        kDeadline))
        << "the pings went on while a line was stuck";
    // systemd restarts a service the watchdog interval after its last ping:
    // the pings stop once the held line has made no progress for that long,
    // counted from its request that got no answer (the line's last beat).
    const auto requests = eventsOf(events, 2, "ModbusRequest");
    ASSERT_FALSE(requests.empty());
    const std::int64_t stuckMs = requests.back().first;
    const std::int64_t lastPingMs = notify.lastUnixMs("WATCHDOG=1");
    EXPECT_LE(lastPingMs - stuckMs, (kWatchdog + kRound).count())
        << "the last ping came " << lastPingMs - stuckMs
        << " ms after the held line's unanswered request, " << lastPingMs - stoppedMs
        << " ms after the hold began";
    // The other line's rounds go on all through the hold: a line held never
    // holds up another.
    const std::int64_t releasedMs = nowUnixMs();
    std::size_t during = 0;
    std::int64_t previous = stoppedMs, longest = 0;
    for (const auto& [at, e] : eventsOf(events, 1, "SaveDeviceHistory")) {
        if (at <= stoppedMs || at > releasedMs) continue;
        ++during;
        longest = std::max(longest, at - previous);
        previous = at;
    }
    longest = std::max(longest, releasedMs - previous);
    // A round every 0.1 s; a tenth of them is enough on a loaded machine.
    const std::size_t expected = static_cast<std::size_t>((releasedMs - stoppedMs) / 1000);
    EXPECT_GE(during, expected) << "rounds of the healthy line in the " << releasedMs - stoppedMs
                                << " ms of the hold, at most " << longest << " ms apart";
    std::printf(
        "held %lld ms: the last ping %lld ms after the unanswered request (%lld ms into the"
        " hold); the other line %zu rounds, at most %lld ms apart\n",
        static_cast<long long>(releasedMs - stoppedMs),
        static_cast<long long>(lastPingMs - stuckMs),
        static_cast<long long>(lastPingMs - stoppedMs), during, static_cast<long long>(longest));
    EXPECT_EQ(countOf(hostErr(), stuckLine), stuckBefore + 1) << hostErr();

    // Let go: the held endpoint goes away, the waiting request fails at once
    // and the line goes on without its meter; the pings resume.
    const std::size_t before = notify.count("WATCHDOG=1");
    held->signal(SIGKILL);
    ASSERT_TRUE(eventually([&] { return notify.count("WATCHDOG=1") >= before + 2; }, kDeadline))
        << hostErr();
    EXPECT_EQ(countOf(hostErr(), progressLine), progressBefore + 1) << hostErr();
    EXPECT_TRUE(eventually([&] { return notify.status() == "1 of 2 meters answering"; }, kDeadline))
        << notify.status();

    host.signal(SIGTERM);
    ASSERT_EQ(host.wait(kDeadline), 0) << hostErr();
    EXPECT_EQ(notify.count("STOPPING=1"), 1u);
}

TEST_F(ServiceE2E, AWatchdogMeantForAnotherProcessIsNotFed) {
    NotifySocket notify(dir_ / "notify");
    const std::string where = startSim("sim");
    Child& host = startHost({"--tcp", where, "--rounds", "3", "--interval", "0.5", "--timeout-ms",
                             "60000", "--plugin-log", dir_ / "plugin.log"},
                            notify, std::to_string(getpid()));
    ASSERT_EQ(host.wait(kDeadline), 0) << hostErr();
    EXPECT_EQ(notify.count("READY=1"), 1u);
    EXPECT_EQ(notify.count("WATCHDOG=1"), 0u);
    EXPECT_EQ(countOf(hostErr(), "watchdog"), 0u) << hostErr();
}

}  // namespace

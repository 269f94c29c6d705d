// vedhost's web server as a browser, Prometheus or an attacker meets it: the
// real host polling the simulator over loopback TCP, asked over real sockets.
// /metrics passes promtool; hostile requests (a path out of the page, a 1 MB
// header, a POST, 500 connections at once, 100 event streams) are refused
// with their status while the host goes on serving and polling in bounded
// memory; HTTPS with a throwaway certificate and basic authentication, as
// curl sees them.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>

#include "../support/http_client.h"
#include "processes.h"

namespace {

using namespace e2e;

constexpr auto kDeadline = 30000ms;

class HttpE2E : public ::testing::Test {
  protected:
    // Three meters on one simulated TCP line, polled every 0.2 s, with the
    // example presentation and the web server on a free port.
    void start(std::vector<std::string> extra = {}) {
        const std::string units =
            dir_.write("units.json",
                       R"({"1": {"0": 2561, "1": 2302, "2": 2299, "8": 1234, "28": 5002},
                "2": {"0": 2298}, "3": null})");
        children_.push_back(std::make_unique<Child>(
            std::vector<std::string>{env("VED96_SIM", VED96_SIM_PATH), "--tcp", "127.0.0.1:0",
                                     "--units", units},
            dir_ / "sim.out", dir_ / "sim.err", dir_.path().string()));
        std::string where;
        ASSERT_TRUE(eventually([&] {
            const auto lines = readLines(dir_ / "sim.out");
            if (lines.empty()) return false;
            where = lines[0].substr(lines[0].find(' ') + 1);
            return true;
        }));
        const std::string config = dir_.write(
            "vedhost.json", R"({"lines": [{"tcp": ")" + where +
                                R"(", "timeout_ms": 500, "meters": [{"slave": 1, "data_id": 1},
                                {"slave": 2, "data_id": 2}, {"slave": 3, "data_id": 3}]}]})");
        std::vector<std::string> args = {
            env("VEDHOST", VEDHOST_PATH),
            "--config",
            config,
            "--presentation",
            std::string(VED_SOURCE_DIR) + "/examples/presentation.json",
            "--interval",
            "0.2",
            "--plugin-log",
            dir_ / "plugin.log",
            "--http",
            "127.0.0.1:0"};
        args.insert(args.end(), extra.begin(), extra.end());
        children_.push_back(std::make_unique<Child>(args, dir_ / "host.out", dir_ / "host.err",
                                                    dir_.path().string()));
        host_ = children_.back().get();
        const std::string mark = "web view on ";
        ASSERT_TRUE(eventually(
            [&] {
                const std::string err = readText(dir_ / "host.err");
                const auto at = err.find(mark);
                if (at == std::string::npos) return false;
                // The whole line: "web view on http://127.0.0.1:PORT/"
                const auto end = err.find("/\n", at);
                if (end == std::string::npos) return false;
                const auto colon = err.rfind(':', end);
                port_ = std::stoi(err.substr(colon + 1, end - colon - 1));
                return true;
            },
            kDeadline))
            << readText(dir_ / "host.err");
    }

    // Rounds meter 1 has completed, as the API says (-1: no answer).
    long rounds() {
        const testhttp::Response r = testhttp::get(port_, "/api/meters/1");
        if (r.status != 200) return -1;
        return parseJson(r.body)["rounds"].asInt64();
    }

    // The host's resident memory now (VmRSS) or the most it has had
    // (VmHWM), in kB.
    long statusKb(const std::string& field) {
        for (const auto& line : readLines("/proc/" + std::to_string(host_->pid()) + "/status"))
            if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
        return -1;
    }
    long rssKb() { return statusKb("VmRSS"); }

    // Runs a program to its end; its exit code, with stdout in `out`.
    int run(const std::vector<std::string>& argv, std::string& out) {
        Child c(argv, dir_ / "run.out", dir_ / "run.err", dir_.path().string());
        const auto code = c.wait(kDeadline);
        out = readText(dir_ / "run.out") + readText(dir_ / "run.err");
        return code.value_or(-1);
    }

    Scratch dir_;
    std::vector<std::unique_ptr<Child>> children_;
    Child* host_ = nullptr;
    int port_ = 0;
};

TEST_F(HttpE2E, MetricsPassPromtoolInBaseUnits) {
    start();
    ASSERT_TRUE(eventually([&] { return rounds() >= 2; }, kDeadline));
    std::string metrics;
    ASSERT_TRUE(eventually(
        [&] {
            metrics = testhttp::get(port_, "/metrics").body;
            return metrics.find("ved96_meter_up{meter=\"3\"} 1") != std::string::npos;
        },
        kDeadline))
        << metrics;
    // The presentation says tenths of a volt and milliamperes.
    for (const char* line :
         {"ved96_phase_voltage_volts{meter=\"1\",phase=\"a\"} 256.1\n",
          "ved96_current_amperes{meter=\"1\",phase=\"a\"} 1.234\n",
          "ved96_frequency_hertz{meter=\"1\"} 50.02\n", "ved96_meter_up{meter=\"1\"} 1\n"})
        EXPECT_NE(metrics.find(line), std::string::npos) << line;
    const std::string file = dir_.write("metrics.txt", metrics);
    std::string out;
    EXPECT_EQ(run({"/bin/sh", "-c", env("PROMTOOL", "promtool") + " check metrics < " + file}, out),
              0)
        << out;
    EXPECT_EQ(out, "") << out;  // not even a lint remark
}

// The supply-quality report switched on beside the history: the page learns
// it is kept, a meter without ten minutes behind it yet answers that it has
// no values (with the sentence every view carries), a named week without
// values is not found, and the history file lists its ten-minute values
// once the host has stopped.
TEST_F(HttpE2E, SupplyQualityKeptBesideTheHistory) {
    const std::string history = dir_ / "history.db";
    start({"--history", history, "--quality-nominal-v", "230"});
    ASSERT_TRUE(eventually([&] { return rounds() >= 3; }, kDeadline));
    EXPECT_EQ(parseJson(testhttp::get(port_, "/api/quality").body)["kept"], true);
    const testhttp::Response week = testhttp::get(port_, "/api/quality?data_id=1");
    ASSERT_EQ(week.status, 200) << week.body;
    const Json::Value doc = parseJson(week.body);
    EXPECT_EQ(doc["result"], "no values");
    EXPECT_EQ(doc["note"],
              "These values are polled from the meter once a round, not measured by a Class A "
              "instrument, so dips, swells and flicker shorter than a round are not seen.");
    EXPECT_EQ(testhttp::get(port_, "/api/quality?data_id=1&week=2026-W01").status, 404);
    EXPECT_EQ(testhttp::get(port_, "/api/quality?data_id=1&week=2026-49").status, 400);
    EXPECT_EQ(testhttp::get(port_, "/api/quality?data_id=9").status, 404);

    host_->signal(SIGTERM);
    ASSERT_EQ(host_->wait(kDeadline), std::optional<int>(0)) << readText(dir_ / "host.err");
    std::string out;
    ASSERT_EQ(run({env("VEDHOST", VEDHOST_PATH), "history", history, "--quality"}, out), 0) << out;
    EXPECT_EQ(out.rfind("time,data_id,rounds,voltage_l1,", 0), 0u) << out;
    // The ten minutes in progress when the host stopped are not kept: none
    // of the run's, or one when it crossed a clock's ten-minute mark.
    EXPECT_TRUE(out.find("vedhost: 0 ten-minute values\n") != std::string::npos ||
                out.find("vedhost: 1 ten-minute values\n") != std::string::npos)
        << out;
}

// What the hostile requests below may add to the resident memory, at the
// peak and after. Under the sanitizers freed memory stays resident too:
// AddressSanitizer keeps freed blocks in a quarantine (256 MiB by default)
// and ThreadSanitizer maps shadow memory beside the heap, so there the bound
// is the quarantine or shadow beyond it.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kResidentGrowthKb = (64 + 256) * 1024;
#elif defined(__SANITIZE_THREAD__)
constexpr long kResidentGrowthKb = 8 * 64 * 1024;
#else
constexpr long kResidentGrowthKb = 64 * 1024;
#endif

TEST_F(HttpE2E, HostileRequestsLeaveItServingAndPolling) {
    start();
    ASSERT_TRUE(eventually([&] { return rounds() >= 1; }, kDeadline));
    const long rssBefore = rssKb();

    for (const char* path : {"/../../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "//etc/passwd",
                             "/web/../../CMakeLists.txt", "/index.html/.."})
        EXPECT_EQ(testhttp::get(port_, path).status, 404) << path;
    // A 1 MB header: refused (431) or cut off; never served.
    const testhttp::Response big =
        testhttp::get(port_, "/", "X-Big: " + std::string(1 << 20, 'a') + "\r\n");
    EXPECT_TRUE(big.status == 431 || big.status == 413 || big.status == 0) << big.status;
    EXPECT_EQ(testhttp::request(port_, "POST", "/api/meters", "", "{\"x\":1}").status, 405);

    // 500 connections at once, each asking for the metrics: every one is
    // made, and each is answered or refused with its status within the
    // bound, never cut off or left without a word. Those beyond the
    // connection limit wait to be accepted until earlier ones close.
    constexpr std::size_t kConnections = 500;
    constexpr auto kReplyBound = 2000ms;
    std::vector<int> fds;
    for (std::size_t i = 0; i < kConnections; ++i) {
        const int fd = testhttp::connectTo(port_);
        if (fd < 0) continue;
        testhttp::sendAll(fd, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
        fds.push_back(fd);
    }
    EXPECT_EQ(fds.size(), kConnections) << "connections made";
    long peakKb = rssKb();  // all of them open
    std::size_t answered = 0, busy = 0;
    std::map<std::string, std::size_t> unanswered;  // by the reply's first line
    for (int fd : fds) {
        const std::string reply = testhttp::readUntil(
            fd, [](const std::string& t) { return t.find("\r\n\r\n") != std::string::npos; },
            kReplyBound);
        if (reply.rfind("HTTP/1.1 200 ", 0) == 0)
            ++answered;
        else if (reply.rfind("HTTP/1.1 503 ", 0) == 0)
            ++busy;
        else
            ++unanswered[reply.empty() ? "(nothing)" : reply.substr(0, reply.find("\r\n"))];
        close(fd);
    }
    std::string why;
    for (const auto& [first, n] : unanswered) why += " " + std::to_string(n) + " x " + first + ";";
    EXPECT_EQ(answered + busy, fds.size())
        << answered << " answered, " << busy << " refused, within " << kReplyBound.count()
        << " ms each; the rest:" << why;
    fds.clear();

    // 100 event streams: the first ones are served, the rest refused.
    std::size_t streams = 0, refused = 0;
    for (int i = 0; i < 100; ++i) {
        const int fd = testhttp::connectTo(port_);
        testhttp::sendAll(fd, "GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n");
        const std::string head = testhttp::readUntil(
            fd, [](const std::string& t) { return t.find("\r\n\r\n") != std::string::npos; },
            5000ms);
        streams += head.rfind("HTTP/1.1 200", 0) == 0;
        refused += head.rfind("HTTP/1.1 503", 0) == 0;
        fds.push_back(fd);
    }
    EXPECT_GT(streams, 0u);
    EXPECT_LT(streams, 100u);
    EXPECT_EQ(streams + refused, 100u);
    peakKb = std::max(peakKb, rssKb());  // the streams open
    // With the streams open, the host serves and polls on.
    const long before = rounds();
    EXPECT_GE(before, 1);
    EXPECT_TRUE(eventually([&] { return rounds() >= before + 3; }, kDeadline));
    for (int fd : fds) close(fd);

    EXPECT_TRUE(host_->running());
    EXPECT_EQ(testhttp::get(port_, "/").status, 200);
    const long rssAfter = rssKb();
    EXPECT_LT(rssAfter - rssBefore, kResidentGrowthKb)
        << rssBefore << " kB before, " << rssAfter << " kB after";
    // At the peak, too: while the connections and the streams were open, and
    // the most the kernel saw resident.
    peakKb = std::max(peakKb, statusKb("VmHWM"));
    EXPECT_LT(peakKb - rssBefore, kResidentGrowthKb)
        << rssBefore << " kB before, " << peakKb << " kB at the peak";
    std::printf(
        "%zu connections: %zu answered, %zu refused; 100 event streams: %zu served, %zu"
        " refused; resident %ld kB before, %ld kB at the peak, %ld kB after\n",
        kConnections, answered, busy, streams, refused, rssBefore, peakKb, rssAfter);
}

TEST_F(HttpE2E, HttpsAndBasicAuthenticationThroughCurl) {
    std::string out;
    ASSERT_EQ(run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                   dir_ / "key.pem", "-out", dir_ / "cert.pem", "-days", "1", "-subj",
                   "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"},
                  out),
              0)
        << out;
    const std::string password = dir_.write("password", "viewer:correct horse\n");
    start({"--http-tls-cert", dir_ / "cert.pem", "--http-tls-key", dir_ / "key.pem",
           "--http-password-file", password});
    const std::string url = "https://127.0.0.1:" + std::to_string(port_) + "/api/meters/1";
    auto curl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {env("CURL", "/usr/bin/curl"), "-s", "-o", dir_ / "body", "-w",
                                   "%{http_code}", "--max-time", "20"});
        args.push_back(url);
        std::string code;
        run(args, code);
        return code;
    };
    // Each row: curl's options and the status it reads ("000": no HTTP answer).
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--cacert", dir_ / "cert.pem", "-u", "viewer:correct horse"}, "200"},
        {{"--cacert", dir_ / "cert.pem"}, "401"},
        {{"--cacert", dir_ / "cert.pem", "-u", "viewer:wrong"}, "401"},
        {{"-u", "viewer:correct horse"}, "000"},  // the certificate is not trusted
    };
    for (const auto& [args, status] : cases) {
        SCOPED_TRACE(args.back());
        EXPECT_EQ(curl(args), status);
    }
    ASSERT_EQ(curl({"--cacert", dir_ / "cert.pem", "-u", "viewer:correct horse"}), "200");
    EXPECT_EQ(parseJson(readText(dir_ / "body"))["data_id"].asUInt(), 1u);
    // Plain HTTP on the HTTPS port gets no page.
    EXPECT_NE(testhttp::get(port_, "/api/meters/1").status, 200);
}

}  // namespace

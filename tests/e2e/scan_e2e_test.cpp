// `vedhost scan` commissioning a simulated line: the three meters of
// examples/sim-units.json on a pseudo-terminal at 19200 baud are found there
// and nowhere at 9600; the "lines" member it prints is a document vedhost
// accepts; a device another process holds is refused, naming it.
#include <gtest/gtest.h>

#include <memory>

#include "processes.h"

namespace {

using namespace e2e;

class ScanE2E : public ::testing::Test {
  protected:
    // The simulator answers only what is sent at its own speed and parity.
    void startSim() {
        sim_ = std::make_unique<Child>(
            std::vector<std::string>{env("VED96_SIM", VED96_SIM_PATH), "--pty", "--baud", "19200",
                                     "--strict-line", "--units",
                                     std::string(VED_SOURCE_DIR) + "/examples/sim-units.json"},
            dir_ / "sim.out", dir_ / "sim.err", dir_.path().string());
        ASSERT_TRUE(eventually([&] {
            const auto lines = readLines(dir_ / "sim.out");
            if (lines.empty()) return false;
            pty_ = lines[0].substr(lines[0].find(' ') + 1);
            return true;
        }));
    }

    int run(const std::vector<std::string>& args, std::string& out, std::string& err) {
        std::vector<std::string> argv{env("VEDHOST", VEDHOST_PATH)};
        argv.insert(argv.end(), args.begin(), args.end());
        Child c(argv, dir_ / "run.out", dir_ / "run.err", dir_.path().string());
        const auto code = c.wait(60000ms);
        out = readText(dir_ / "run.out");
        err = readText(dir_ / "run.err");
        return code.value_or(-1);
    }

    Scratch dir_;
    std::unique_ptr<Child> sim_;
    std::string pty_;
};

TEST_F(ScanE2E, FindsTheThreeMetersAtTheirSpeedAndNoneAtAnother) {
    startSim();
    std::string out, err;
    ASSERT_EQ(run({"scan", "--rtu", pty_, "--baud", "9600,19200", "--slaves", "1-6", "--timeout-ms",
                   "60"},
                  out, err),
              0)
        << err;
    for (int slave = 1; slave <= 3; ++slave)
        EXPECT_NE(out.find("slave " + std::to_string(slave) + " at 19200 baud, parity N: "),
                  std::string::npos)
            << out;
    EXPECT_EQ(countOf(out, "slave "), 3u) << out;
    // The third meter's ratings are the simulator's own.
    EXPECT_NE(out.find("slave 3 at 19200 baud, parity N: voltage_primary_rated 400, "
                       "voltage_secondary_rated 400, current_primary_rated 100, "
                       "current_secondary_rated 5\n"),
              std::string::npos)
        << out;
    // Without a terminal, plain lines of progress.
    EXPECT_NE(err.find("vedhost scan: 9600 baud, parity N: 0 meters\n"), std::string::npos) << err;
    EXPECT_NE(err.find("vedhost scan: 19200 baud, parity N: 3 meters\n"), std::string::npos) << err;
    // The "lines" member is a document vedhost takes.
    const auto at = out.find("\"lines\": [");
    ASSERT_NE(at, std::string::npos) << out;
    const std::string document = dir_.write("found.json", "{" + out.substr(at) + "}");
    std::string checked, checkErr;
    ASSERT_EQ(run({"check-config", document}, checked, checkErr), 0) << checkErr;
    const Json::Value lines = parseJson(checked)["configuration"]["lines"];
    ASSERT_EQ(lines.size(), 1u) << checked;
    EXPECT_EQ(lines[0]["baud"].asInt(), 19200);
    EXPECT_EQ(lines[0]["meters"].size(), 3u);
}

TEST_F(ScanE2E, NothingAnswersAtAWrongSpeed) {
    startSim();
    std::string out, err;
    EXPECT_EQ(run({"scan", "--rtu", pty_, "--baud", "9600", "--parity", "N,E", "--slaves", "1-3",
                   "--timeout-ms", "60"},
                  out, err),
              1);
    EXPECT_EQ(out, "\"lines\": []\n");
}

TEST_F(ScanE2E, ADeviceAnotherProcessHoldsIsRefusedNamingIt) {
    startSim();
    Child holder({"/usr/bin/flock", pty_, "/bin/sleep", "60"}, dir_ / "flock.out",
                 dir_ / "flock.err", dir_.path().string());
    std::string out, err;
    ASSERT_TRUE(eventually([&] {
        return run({"scan", "--rtu", pty_, "--slaves", "1-1"}, out, err) == 2;
    })) << err;
    // flock(1) holds the lock while its command runs.
    EXPECT_EQ(err, "vedhost scan: " + pty_ + " is held by process " + std::to_string(holder.pid()) +
                       " (flock)\n");
    EXPECT_EQ(out, "");
}

}  // namespace

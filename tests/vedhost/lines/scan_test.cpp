// `vedhost scan`'s command line, the "lines" member it ends with, and the
// exclusive hold on a serial device that it (and later the host's lines)
// takes.
#include "lines/scan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "lines/serial_port.h"

namespace vedhost {
namespace {

// The name the kernel keeps for a process (15 characters at most); under an
// emulator such as qemu-arm it is the emulator's, as other processes see it.
std::string processName(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

TEST(ParseScanCommand, DefaultsAndLists) {
    ScanOptions o;
    std::string error;
    ASSERT_TRUE(parseScanCommand({"--rtu", "/dev/ttyUSB0"}, o, error)) << error;
    EXPECT_EQ(o.device, "/dev/ttyUSB0");
    EXPECT_EQ(o.bauds, std::vector<int>{9600});
    EXPECT_EQ(o.parities, std::vector<char>{'N'});
    EXPECT_EQ(o.firstSlave, 1);
    EXPECT_EQ(o.lastSlave, 247);
    ASSERT_TRUE(parseScanCommand({"--rtu", "/dev/ttyS1", "--baud", "9600,19200", "--parity", "N,E",
                                  "--slaves", "3-12", "--timeout-ms", "40"},
                                 o, error))
        << error;
    EXPECT_EQ(o.bauds, (std::vector<int>{9600, 19200}));
    EXPECT_EQ(o.parities, (std::vector<char>{'N', 'E'}));
    EXPECT_EQ(o.firstSlave, 3);
    EXPECT_EQ(o.lastSlave, 12);
    EXPECT_EQ(o.timeoutMs, 40);
    ASSERT_TRUE(parseScanCommand({"--rtu", "/dev/ttyS1", "--slaves", "7"}, o, error)) << error;
    EXPECT_EQ(o.firstSlave, 7);
    EXPECT_EQ(o.lastSlave, 7);
}

TEST(ParseScanCommand, RefusesWithAReason) {
    const struct {
        std::vector<std::string> args;
        const char* reason;
    } cases[] = {
        {{}, "scan: give the serial device with --rtu DEV"},
        {{"--rtu"}, "scan: --rtu needs a value"},
        {{"--rtu", "d", "--baud", "9600,"}, "scan: --baud: expected speeds"},
        {{"--rtu", "d", "--baud", "fast"}, "scan: --baud: expected speeds"},
        {{"--rtu", "d", "--parity", "N,X"}, "scan: --parity: expected N, E or O"},
        {{"--rtu", "d", "--slaves", "0-3"}, "scan: --slaves: expected A-B within 1-247"},
        {{"--rtu", "d", "--slaves", "1-248"}, "scan: --slaves: expected A-B within 1-247"},
        {{"--rtu", "d", "--slaves", "9-3"}, "scan: --slaves: expected A-B within 1-247"},
        {{"--rtu", "d", "--timeout-ms", "0"}, "scan: --timeout-ms: expected 1..60000"},
        {{"--rtu", "d", "--speed", "1"}, "scan: unknown option \"--speed\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        ScanOptions o;
        std::string error;
        EXPECT_FALSE(parseScanCommand(c.args, o, error));
        EXPECT_EQ(error.rfind(c.reason, 0), 0u) << error;
    }
}

TEST(LinesMember, OneLineForEachSettingMetersNumberedFromOne) {
    const std::vector<ScanFind> found = {
        {1, 9600, 'N', {}}, {4, 9600, 'N', {}}, {2, 19200, 'E', {}}};
    EXPECT_EQ(linesMember("/dev/ttyUSB0", found),
              "\"lines\": [\n"
              "  {\"rtu\": \"/dev/ttyUSB0\", \"baud\": 9600, \"parity\": \"N\", \"meters\": "
              "[{\"slave\": 1, \"data_id\": 1}, {\"slave\": 4, \"data_id\": 2}]},\n"
              "  {\"rtu\": \"/dev/ttyUSB0\", \"baud\": 19200, \"parity\": \"E\", \"meters\": "
              "[{\"slave\": 2, \"data_id\": 3}]}\n"
              "]\n");
    EXPECT_EQ(linesMember("/dev/ttyUSB0", {}), "\"lines\": []\n");
}

TEST(SerialPort, ASecondHolderIsRefusedNamingTheFirst) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string path = ptsname(master);
    std::string error;
    const int first = openSerialExclusive(path, error);
    ASSERT_GE(first, 0) << error;
    EXPECT_TRUE(setSerialLine(first, 19200, 'E', 1, error)) << error;
    EXPECT_FALSE(setSerialLine(first, 12345, 'N', 1, error));
    EXPECT_EQ(error, "no serial speed 12345");
    // The same process holds it through another descriptor: still refused,
    // and named (flock is held by the open file, not the process).
    EXPECT_EQ(openSerialExclusive(path, error), -1);
    EXPECT_EQ(error, path + " is held by process " + std::to_string(getpid()) + " (" +
                         processName(getpid()) + ")");
    close(first);
    const int again = openSerialExclusive(path, error);
    EXPECT_GE(again, 0) << error;
    close(again);
    EXPECT_EQ(openSerialExclusive("/nonexistent/tty", error), -1);
    EXPECT_EQ(error.rfind("cannot open /nonexistent/tty: ", 0), 0u) << error;
    close(master);
}

}  // namespace
}  // namespace vedhost

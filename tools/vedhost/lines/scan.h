// `vedhost scan`: commissioning a line. Every slave id at every speed and
// parity asked is asked for one register; the meters that answer are listed
// with their rated voltage and current, and a "lines" member ready for the
// document ends the output.
//
//   vedhost scan --rtu DEV [--baud 9600,19200] [--parity N,E] [--slaves 1-247]
//                [--timeout-ms MS]
//
// The device is held exclusively while it is scanned; one that a running
// host holds is refused, naming the process.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace vedhost {

struct ScanOptions {
    std::string device;
    std::vector<int> bauds{9600};
    std::vector<char> parities{'N'};
    int firstSlave = 1;
    int lastSlave = 247;
    int timeoutMs = 100;  // for each request
    bool help = false;
};

// The arguments after "scan"; false with a one-line reason.
bool parseScanCommand(const std::vector<std::string>& args, ScanOptions& options,
                      std::string& error);

extern const char kScanUsage[];

// One meter that answered.
struct ScanFind {
    int slave = 0;
    int baud = 0;
    char parity = 'N';
    // Registers 6000 to 6003 (rated voltage primary and secondary, rated
    // current primary and secondary), empty when the meter refused them.
    std::vector<std::uint16_t> ratings;
};

// The "lines" member for what was found: one line for each speed and parity
// at which meters answered, data ids numbered from 1.
std::string linesMember(const std::string& device, const std::vector<ScanFind>& found);

// Scans; finds go to `out` as they come, with the "lines" member last; the
// progress goes to `progress`, as a bar when it is a terminal. The exit
// status: 0 when a meter answered, 1 when none did, 2 when the device cannot
// be had.
int runScan(const ScanOptions& options, std::ostream& out, std::ostream& progress, bool terminal);

}  // namespace vedhost

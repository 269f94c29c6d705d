// Command line of ved96-sim.
#pragma once

#include <string>
#include <vector>

#include "dispatch.h"

namespace vedsim {

struct SimOptions {
    enum class Transport { kNone, kRtu, kPty, kTcp };
    Transport transport = Transport::kNone;
    std::string device;              // --rtu DEVICE
    std::string host = "127.0.0.1";  // --tcp [HOST:]PORT; loopback unless a host is given
    unsigned port = 502;             // 0: the system picks a free port
    unsigned slave = 1;              // --slave ID, 1 .. 247
    unsigned baud = 9600;            // --baud
    char parity = 'N';               // --parity N|E|O
    std::string image_path;          // --image FILE: fixed register image
    FaultPlan faults;
    bool help = false;
};

// Parses the arguments after the program name. Returns false with a one-line
// reason in `error` when they are not a valid command line.
bool parse_options(const std::vector<std::string>& args, SimOptions& options, std::string& error);

extern const char kUsage[];

}  // namespace vedsim

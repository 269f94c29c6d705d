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
    // --slave ID[,ID...]: the unit ids answered on the line, 1 .. 247; the
    // others are left unanswered, as the other meters of a multi-drop line.
    std::vector<unsigned> slaves{1};
    unsigned baud = 9600;  // --baud
    char parity = 'N';     // --parity N|E|O
    // --image FILE: a fixed register image; given once for every unit, or
    // once per unit in the order of --slave.
    std::vector<std::string> image_paths;
    std::string units_path;  // --units FILE: unit ids with their images
    FaultPlan faults;
    // --energy-start RAW: the live meters' forward active energy register
    // at start (0.1 kWh counts); near 65535 it wraps soon.
    unsigned energy_start = 12345;
    // --speed N: the live meters' time runs N times as fast (their energy
    // counts up N times as fast at the same power).
    unsigned speed = 1;
    bool help = false;
};

// Parses the arguments after the program name. Returns false with a one-line
// reason in `error` when they are not a valid command line.
bool parse_options(const std::vector<std::string>& args, SimOptions& options, std::string& error);

// One unit of a --units document: its id and what it serves. An image file
// name is taken relative to the document's directory.
struct UnitSetup {
    unsigned slave = 1;
    enum class Source { kLive, kFile, kInline } source = Source::kLive;
    std::string image;  // kFile: the path; kInline: the image as JSON text
};

// Parses a --units document: a JSON object of unit id to an image object, an
// image file name, or null for live values, e.g.
//   {"1": "meter1.json", "2": {"0": 2301}, "3": null}
bool parse_units(const std::string& text, const std::string& base_dir,
                 std::vector<UnitSetup>& units, std::string& error);

extern const char kUsage[];

}  // namespace vedsim

// In-process soak: polling rounds of one meter through a fake transport, as
// fast as they go, with the report rebuilt and fetched every round. Prints
// rounds per second and resident memory and open descriptors at the start
// and the end; scripts/soak runs it beside the real processes.
// Usage: ved96-soak-rounds ROUNDS
#include <dirent.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "host/seam.h"
#include "ved96/ved96.h"

namespace {

// A meter whose registers change every round, so every report differs.
class ChangingMeter : public host::Transport {
  public:
    bool open(SPModbus&) override { return true; }
    host::ModbusReply exchange(SPModbus&, const host::ModbusRequest& request) override {
        host::ModbusReply reply;
        reply.status = host::ModbusReply::Status::Ok;
        for (int i = 0; i < request.count; ++i)
            reply.words.push_back(static_cast<std::uint16_t>(request.address + i + ++tick_));
        return reply;
    }

  private:
    std::uint16_t tick_ = 0;
};

long residentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

int openDescriptors() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++n;
        closedir(dir);
        --n;  // the directory being read
    }
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const long rounds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
    if (rounds < 2) {
        std::cerr << "usage: ved96-soak-rounds ROUNDS (at least 2)\n";
        return 2;
    }
    // The plug-in's console lines (one a round) would dominate the time.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    ChangingMeter meter;
    host::setDefaultTransport(&meter);
    ved96 device;
    std::vector<char> report(65536);
    const auto round = [&] {
        device.RefreshStatus();
        host::pump(device);
        int length = 0;
        device.DeviceIoControl(801, nullptr, 0, report.data(), static_cast<int>(report.size()),
                               length);
    };
    round();  // the first round sets up what every later one reuses
    const long startKiB = residentKiB();
    const int startFds = openDescriptors();
    const auto start = std::chrono::steady_clock::now();
    for (long i = 1; i < rounds; ++i) round();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cerr << "in-process: " << rounds << " rounds, "
              << static_cast<long>((rounds - 1) / seconds) << " rounds/s; RSS " << startKiB
              << " KiB -> " << residentKiB() << " KiB; descriptors " << startFds << " -> "
              << openDescriptors() << "\n";
    host::setDefaultTransport(nullptr);
    return 0;
}

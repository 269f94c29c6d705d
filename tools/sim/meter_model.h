// Register image of a simulated ved96 three-phase meter.
//
// The model knows which holding registers the meter serves, which of them
// accept writes, and what the meter reads: either live, slowly varying values
// computed from the time since start, or a fixed image loaded from a file.
// It has no knowledge of Modbus framing; the server loop and the request
// handler (dispatch.h) sit on top of it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vedsim {

// One contiguous block of holding registers as the meter serves it.
struct RegisterBlock {
    uint16_t first;
    uint16_t count;
    bool writable;  // ratings and settings; measured values are read-only
    constexpr unsigned end() const { return unsigned{first} + count; }  // one past the last
};

// The ten blocks, in the order a master polls them.
inline constexpr std::array<RegisterBlock, 10> kBlocks = {{
    {0, 72, false},      // measurements (36 used, 36 spare)
    {100, 2, false},     // event-record pointer
    {102, 3, false},     // limit-alarm, DI and DO status words
    {500, 8, false},     // energies (4 used, 4 spare)
    {1400, 120, false},  // current THD/TOHD/TEHD, H2..H18
    {1520, 78, false},   // current H19..H31
    {1600, 120, false},  // voltage THD/TOHD/TEHD, H2..H18
    {1720, 78, false},   // voltage H19..H31
    {6000, 8, true},     // ratings
    {6008, 10, true},    // settings
}};

// Registers 0 .. kRegisterSpan - 1 cover every block; the gaps are not served.
inline constexpr unsigned kRegisterSpan = 6018;
static_assert(kBlocks.back().end() == kRegisterSpan, "last block ends the register span");

// Voltage band in raw units (0.1 V): outside it the meter raises its limit alarms.
inline constexpr uint16_t kOverVoltageRaw = 2530;   // above 253.0 V: over-voltage
inline constexpr uint16_t kUnderVoltageRaw = 2070;  // below 207.0 V: under-voltage

bool is_served(unsigned reg);
bool is_writable(unsigned reg);

// The limit-alarm word (register 102) for three raw phase voltages:
// bit 2p is phase p over-voltage, bit 2p+1 phase p under-voltage (p = 0 for A).
uint16_t voltage_alarm_bits(const std::array<uint16_t, 3>& raw_phase_voltages);

// Parses a register image: a JSON object whose keys are register numbers in
// decimal and whose values are integers 0 .. 65535. Every key must name a
// served register. On failure returns false and says why in `error`.
bool parse_register_image(const std::string& text, std::map<uint16_t, uint16_t>& image,
                          std::string& error);

class MeterModel {
  public:
    // A meter whose values vary with time, starting at zero seconds, its
    // forward active energy register at `forwardActiveStart`.
    static MeterModel live(uint16_t forwardActiveStart = 12345);
    // A meter that serves `image` unchanged; registers not listed read 0.
    static MeterModel fixed(const std::map<uint16_t, uint16_t>& image);

    // Brings the live values to `seconds` since start. Energies integrate the
    // power over the time passed; going back in time changes nothing.
    // A fixed image ignores the call.
    void advance_to(double seconds);

    // True when every register first .. first+count-1 is served (count >= 1).
    bool readable(unsigned first, unsigned count) const;
    // True when every register first .. first+count-1 accepts writes (count >= 1).
    bool writable(unsigned first, unsigned count) const;

    // Stores values at first.. ; the caller has checked writable(). Written
    // ratings and settings keep their value until written again.
    void write(unsigned first, const std::vector<uint16_t>& values);

    uint16_t get(unsigned reg) const { return reg < kRegisterSpan ? regs_[reg] : 0; }
    const std::vector<uint16_t>& registers() const { return regs_; }

  private:
    explicit MeterModel(bool live);
    void compute(double seconds);

    bool live_;
    std::vector<uint16_t> regs_;
    double last_seconds_ = 0.0;
    double active_kwh_ = 0.0;      // forward active energy accumulated since start
    double reactive_kvarh_ = 0.0;  // forward reactive energy accumulated since start
    uint16_t forward_active_start_ = 12345;
    uint16_t events_ = 0;  // event records logged since start
};

}  // namespace vedsim

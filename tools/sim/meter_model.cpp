#include "meter_model.h"

#include <json/json.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>

namespace vedsim {

// Raw units of the simulated meter. Every register is an unsigned 16-bit value;
// the simulated load is inductive and consuming, so no signed quantity goes
// negative and none needs two's complement.
//
// | Registers   | Quantity                                   | Raw unit               |
// |-------------|--------------------------------------------|------------------------|
// | 0 - 3       | phase voltages A, B, C, average            | 0.1 V                  |
// | 4 - 7       | line voltages AB, BC, CA, average          | 0.1 V                  |
// | 8 - 11      | phase currents A, B, C, average            | 1 mA                   |
// | 12 - 15     | active power A, B, C, total                | 1 W                    |
// | 16 - 19     | reactive power A, B, C, total              | 1 var                  |
// | 20 - 23     | apparent power A, B, C, total              | 1 VA                   |
// | 24 - 27     | power factor A, B, C, total                | x1000                  |
// | 28          | frequency                                  | 0.01 Hz                |
// | 29 - 31     | voltage phase angles A, B, C (A = 0)       | 0.1 degree, 0 - 3599   |
// | 32 - 34     | current phase angles A, B, C               | 0.1 degree, 0 - 3599   |
// | 35          | calculated neutral current                 | 1 mA                   |
// | 36 - 71     | spare                                      | 0                      |
// | 100         | event records logged                       | count                  |
// | 101         | spare                                      | 0                      |
// | 102         | limit alarms, bits 0 - 5                   | bit word               |
// | 103 / 104   | DI1 - DI4 (bits 0 - 3) / DO1, DO2 (0 - 1)  | bit word               |
// | 500 - 503   | energies: fwd/rev active, fwd/rev reactive | 0.1 kWh / 0.1 kvarh,   |
// |             |                                            | wrapping at 65536      |
// | 504 - 507   | spare                                      | 0                      |
// | 1400 - 1797 | harmonic distortion and contents           | 0.01 % of fundamental  |
// | 6000 / 6001 | rated voltage, primary / secondary         | 1 V                    |
// | 6002 / 6003 | rated current, primary / secondary         | 1 A                    |
// | 6004 - 6007 | spare ratings                              | 0                      |
// | 6008 - 6017 | setting codes                              | code                   |

namespace {

constexpr double kPi = 3.14159265358979323846;

// Registers of the live values, named where the simulation fills them.
enum : unsigned {
    kPhaseVoltage = 0,
    kLineVoltage = 4,
    kCurrent = 8,
    kActivePower = 12,
    kReactivePower = 16,
    kApparentPower = 20,
    kPowerFactor = 24,
    kFrequency = 28,
    kVoltageAngle = 29,
    kCurrentAngle = 32,
    kNeutralCurrent = 35,
    kEventCount = 100,
    kLimitAlarms = 102,
    kDigitalInputs = 103,
    kDigitalOutputs = 104,
    kEnergy = 500,
    kCurrentHarmonicsLow = 1400,
    kCurrentHarmonicsHigh = 1520,
    kVoltageHarmonicsLow = 1600,
    kVoltageHarmonicsHigh = 1720,
    kRatings = 6000,
    kSettings = 6008,
    kApparentPowerAlgorithm = 6010,
};

// Energy counters at start, raw (0.1 kWh, 0.1 kvarh); the forward active
// one's is the model's own.
constexpr uint16_t kReverseActiveStart = 12;
constexpr uint16_t kForwardReactiveStart = 4567;
constexpr uint16_t kReverseReactiveStart = 3;

// Factory ratings and settings: 400 V direct connection, 100/5 A current
// transformers, 3P4W wiring, IEC power factor, vector apparent power,
// forward current directions, 5000 pulses, forward-active pulse output,
// THDf, remote control off.
constexpr std::array<uint16_t, 8> kFactoryRatings = {400, 400, 100, 5, 0, 0, 0, 0};
constexpr std::array<uint16_t, 10> kFactorySettings = {1, 0, 0, 0, 0, 0, 0, 1, 0, 0};

uint16_t to_raw(double value, double unit) {
    const double r = std::round(value / unit);
    if (!(r >= 0.0)) return 0;
    return r > 65535.0 ? 65535 : static_cast<uint16_t>(r);
}

// Angle in degrees to 0.1 degree, folded into 0 .. 359.9.
uint16_t angle_raw(double degrees) {
    double a = std::fmod(degrees, 360.0);
    if (a < 0) a += 360.0;
    const uint16_t r = to_raw(a, 0.1);
    return r >= 3600 ? 0 : r;
}

double wave(double seconds, double period, double phase) {
    return std::sin(2.0 * kPi * seconds / period + phase);
}

// Voltage disturbances: every 120 s six 5-second events, one every 20 s,
// starting 10 s in: A swell, A sag, B swell, B sag, C swell, C sag. Each one
// takes its phase well outside the 207 - 253 V band.
double disturbance(unsigned phase, double seconds) {
    const double in_cycle = std::fmod(seconds, 120.0);
    const unsigned slot = static_cast<unsigned>(in_cycle / 20.0);
    const double in_slot = in_cycle - slot * 20.0;
    if (in_slot < 10.0 || in_slot >= 15.0 || slot / 2 != phase) return 0.0;
    return slot % 2 == 0 ? 30.0 : -30.0;
}

// Harmonic content of order n in percent of the fundamental: odd orders fall
// off as 1/n and even orders are small, each from its own level; `wobble` is
// a slow variation of a few percent.
double harmonic_percent(unsigned n, double odd_level, double even_level, double wobble) {
    const double level = (n % 2 == 1) ? odd_level : even_level;
    return level / n * (1.0 + wobble);
}

// Fills one quantity's four harmonic blocks (low: THD, TOHD, TEHD, H2..H18;
// high: H19..H31), interleaved A, B, C.
void fill_harmonics(std::vector<uint16_t>& regs, unsigned low, unsigned high, double odd_level,
                    double even_level, double seconds) {
    for (unsigned p = 0; p < 3; ++p) {
        double odd_sq = 0.0, even_sq = 0.0;
        for (unsigned n = 2; n <= 31; ++n) {
            const double wobble = 0.05 * p + 0.08 * wave(seconds, 80.0, n + p);
            const double h = harmonic_percent(n, odd_level, even_level, wobble);
            (n % 2 == 1 ? odd_sq : even_sq) += h * h;
            const unsigned reg = n <= 18 ? low + 9 + 3 * (n - 2) + p : high + 3 * (n - 19) + p;
            regs[reg] = to_raw(h, 0.01);
        }
        regs[low + p] = to_raw(std::sqrt(odd_sq + even_sq), 0.01);
        regs[low + 3 + p] = to_raw(std::sqrt(odd_sq), 0.01);
        regs[low + 6 + p] = to_raw(std::sqrt(even_sq), 0.01);
    }
}

}  // namespace

bool is_served(unsigned reg) {
    return std::any_of(kBlocks.begin(), kBlocks.end(),
                       [reg](const RegisterBlock& b) { return reg >= b.first && reg < b.end(); });
}

bool is_writable(unsigned reg) {
    return std::any_of(kBlocks.begin(), kBlocks.end(), [reg](const RegisterBlock& b) {
        return b.writable && reg >= b.first && reg < b.end();
    });
}

uint16_t voltage_alarm_bits(const std::array<uint16_t, 3>& raw) {
    uint16_t bits = 0;
    for (unsigned p = 0; p < 3; ++p) {
        if (raw[p] > kOverVoltageRaw) bits |= 1u << (2 * p);
        if (raw[p] < kUnderVoltageRaw) bits |= 1u << (2 * p + 1);
    }
    return bits;
}

bool parse_register_image(const std::string& text, std::map<uint16_t, uint16_t>& image,
                          std::string& error) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);  // no comments, trailing commas
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string parse_error;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &parse_error)) {
        error = "not valid JSON: " + parse_error;
        return false;
    }
    if (!root.isObject()) {
        error = "expected a JSON object of register number to value";
        return false;
    }
    image.clear();
    for (const std::string& key : root.getMemberNames()) {
        const bool digits =
            !key.empty() && key.size() <= 5 &&
            std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; });
        const unsigned long reg = digits ? std::stoul(key) : 0;
        if (!digits || !is_served(reg)) {
            error = "register \"" + key + "\" is not one the meter serves";
            return false;
        }
        const Json::Value& v = root[key];
        if (!v.isIntegral() || !v.isInt64() || v.asInt64() < 0 || v.asInt64() > 65535) {
            error = "register " + key + ": value must be an integer 0 .. 65535";
            return false;
        }
        image[static_cast<uint16_t>(reg)] = static_cast<uint16_t>(v.asInt64());
    }
    return true;
}

MeterModel::MeterModel(bool live) : live_(live), regs_(kRegisterSpan, 0) {}

MeterModel MeterModel::live(uint16_t forwardActiveStart) {
    MeterModel m(true);
    m.forward_active_start_ = forwardActiveStart;
    std::copy(kFactoryRatings.begin(), kFactoryRatings.end(), m.regs_.begin() + kRatings);
    std::copy(kFactorySettings.begin(), kFactorySettings.end(), m.regs_.begin() + kSettings);
    m.compute(0.0);
    return m;
}

MeterModel MeterModel::fixed(const std::map<uint16_t, uint16_t>& image) {
    MeterModel m(false);
    for (const auto& [reg, value] : image) {
        if (is_served(reg)) m.regs_[reg] = value;
    }
    return m;
}

void MeterModel::advance_to(double seconds) {
    if (!live_ || !(seconds > last_seconds_)) return;
    compute(seconds);
}

void MeterModel::compute(double t) {
    using Phasor = std::complex<double>;
    std::vector<uint16_t>& r = regs_;

    // Phase voltages around 230 V with a slow swing and the scheduled events.
    std::array<double, 3> volts{};
    std::array<uint16_t, 3> volts_raw{};
    std::array<Phasor, 3> v_phasor{};
    const std::array<double, 3> v_angle = {0.0, -120.0, 120.0};
    for (unsigned p = 0; p < 3; ++p) {
        volts[p] = 230.0 + 4.0 * wave(t, 97.0, 2.1 * p) + disturbance(p, t);
        volts_raw[p] = to_raw(volts[p], 0.1);
        r[kPhaseVoltage + p] = volts_raw[p];
        v_phasor[p] = std::polar(volts[p], v_angle[p] * kPi / 180.0);
        r[kVoltageAngle + p] = angle_raw(v_angle[p]);
    }
    r[kPhaseVoltage + 3] = to_raw((volts[0] + volts[1] + volts[2]) / 3.0, 0.1);
    double line_sum = 0.0;
    for (unsigned p = 0; p < 3; ++p) {
        const double line = std::abs(v_phasor[p] - v_phasor[(p + 1) % 3]);
        line_sum += line;
        r[kLineVoltage + p] = to_raw(line, 0.1);
    }
    r[kLineVoltage + 3] = to_raw(line_sum / 3.0, 0.1);

    // Load: about 20 A a phase at a lagging power factor of 0.91 - 0.97.
    double amps_sum = 0.0, p_sum = 0.0, q_sum = 0.0, s_sum = 0.0;
    Phasor neutral{};
    for (unsigned p = 0; p < 3; ++p) {
        const double amps = 20.0 + 5.0 * wave(t, 150.0, p) + 1.5 * wave(t, 23.0, 2.0 * p);
        const double pf = 0.94 + 0.03 * wave(t, 200.0, p);
        const double lag = std::acos(pf) * 180.0 / kPi;
        const double s = volts[p] * amps;
        const double active = s * pf;
        const double reactive = s * std::sin(std::acos(pf));
        amps_sum += amps;
        p_sum += active;
        q_sum += reactive;
        s_sum += s;
        neutral += std::polar(amps, (v_angle[p] - lag) * kPi / 180.0);
        r[kCurrent + p] = to_raw(amps, 0.001);
        r[kActivePower + p] = to_raw(active, 1.0);
        r[kReactivePower + p] = to_raw(reactive, 1.0);
        r[kApparentPower + p] = to_raw(s, 1.0);
        r[kPowerFactor + p] = to_raw(pf, 0.001);
        r[kCurrentAngle + p] = angle_raw(v_angle[p] - lag);
    }
    // The apparent-power setting picks vector (0) or scalar (1) summing.
    const double s_total = r[kApparentPowerAlgorithm] == 1 ? s_sum : std::hypot(p_sum, q_sum);
    r[kCurrent + 3] = to_raw(amps_sum / 3.0, 0.001);
    r[kActivePower + 3] = to_raw(p_sum, 1.0);
    r[kReactivePower + 3] = to_raw(q_sum, 1.0);
    r[kApparentPower + 3] = to_raw(s_total, 1.0);
    r[kPowerFactor + 3] = to_raw(s_total > 0 ? p_sum / s_total : 1.0, 0.001);
    r[kNeutralCurrent] = to_raw(std::abs(neutral), 0.001);
    r[kFrequency] = to_raw(50.0 + 0.04 * wave(t, 61.0, 0.0), 0.01);

    // Energies integrate the power since the last update; counters wrap at 16 bits.
    const double hours = (t - last_seconds_) / 3600.0;
    active_kwh_ += p_sum / 1000.0 * hours;
    reactive_kvarh_ += q_sum / 1000.0 * hours;
    last_seconds_ = t;
    r[kEnergy + 0] =
        static_cast<uint16_t>(forward_active_start_ + static_cast<uint64_t>(active_kwh_ * 10.0));
    r[kEnergy + 1] = kReverseActiveStart;
    r[kEnergy + 2] = static_cast<uint16_t>(kForwardReactiveStart +
                                           static_cast<uint64_t>(reactive_kvarh_ * 10.0));
    r[kEnergy + 3] = kReverseReactiveStart;

    // Status: limit alarms from the voltages; DI1 breaker closed, DI2 changes
    // every 30 s, DI4 follows any alarm; DO1 is the alarm relay, DO2 operates
    // for 10 s every 40 s. Every new alarm and every input change is an event.
    const uint16_t alarms = voltage_alarm_bits(volts_raw);
    const uint16_t inputs =
        0x1 | (static_cast<uint64_t>(t / 30.0) % 2 ? 0x2 : 0) | (alarms ? 0x8 : 0);
    const uint16_t outputs = (alarms ? 0x1 : 0) | (std::fmod(t, 40.0) < 10.0 ? 0x2 : 0);
    if (t > 0.0) {
        const unsigned raised = alarms & ~r[kLimitAlarms];
        const unsigned changed = inputs ^ r[kDigitalInputs];
        events_ += __builtin_popcount(raised) + __builtin_popcount(changed);
    }
    r[kEventCount] = events_;
    r[kLimitAlarms] = alarms;
    r[kDigitalInputs] = inputs;
    r[kDigitalOutputs] = outputs;

    // Current distortion around 10 %, voltage distortion around 1.5 %.
    fill_harmonics(r, kCurrentHarmonicsLow, kCurrentHarmonicsHigh, 20.0, 1.0, t);
    fill_harmonics(r, kVoltageHarmonicsLow, kVoltageHarmonicsHigh, 3.0, 0.2, t);
}

bool MeterModel::readable(unsigned first, unsigned count) const {
    if (count == 0 || first + count > kRegisterSpan) return false;
    for (unsigned reg = first; reg < first + count; ++reg) {
        if (!is_served(reg)) return false;
    }
    return true;
}

bool MeterModel::writable(unsigned first, unsigned count) const {
    if (count == 0 || first + count > kRegisterSpan) return false;
    for (unsigned reg = first; reg < first + count; ++reg) {
        if (!is_writable(reg)) return false;
    }
    return true;
}

void MeterModel::write(unsigned first, const std::vector<uint16_t>& values) {
    for (size_t i = 0; i < values.size() && first + i < kRegisterSpan; ++i) {
        regs_[first + i] = values[i];
    }
}

}  // namespace vedsim

// Report signal tables. Keys are the meter's signal names as the host's
// configuration refers to them: UTF-8, byte for byte.
#include "ved96/report_tables.h"

#include <iterator>

namespace ved96_report {

namespace {

#define AT(field) offsetof(ved96_Data_t, field)

constexpr NumericSignal raw(const char* key, const char* id, std::size_t offset) {
    return {key, id, offset, Conversion::Raw};
}

template <std::size_t N>
constexpr StatusWord statusWord(NumericSignal word, const BitSignal (&bits)[N], const char* setText,
                                const char* clearText, bool alsoInAlertArray) {
    return {word, bits, N, setText, clearText, alsoInAlertArray};
}

template <std::size_t N>
constexpr SettingSignal setting(const char* key, const char* id, std::size_t offset,
                                const char* const (&texts)[N]) {
    return {key, id, offset, texts, N};
}

}  // namespace

constexpr NumericSignal kMeasurements[36] = {
    raw("A相电压", "phase_voltage_a", AT(phase_voltage_a)),
    raw("B相电压", "phase_voltage_b", AT(phase_voltage_b)),
    raw("C相电压", "phase_voltage_c", AT(phase_voltage_c)),
    raw("平均相电压", "phase_voltage_avg", AT(phase_voltage_avg)),
    raw("AB线电压", "line_voltage_ab", AT(line_voltage_ab)),
    raw("BC线电压", "line_voltage_bc", AT(line_voltage_bc)),
    raw("CA线电压", "line_voltage_ca", AT(line_voltage_ca)),
    raw("平均线电压", "line_voltage_avg", AT(line_voltage_avg)),
    raw("A相电流", "current_a", AT(current_a)),
    raw("B相电流", "current_b", AT(current_b)),
    raw("C相电流", "current_c", AT(current_c)),
    raw("平均相电流", "current_avg", AT(current_avg)),
    raw("A相有功功率", "active_power_a", AT(active_power_a)),
    raw("B相有功功率", "active_power_b", AT(active_power_b)),
    raw("C相有功功率", "active_power_c", AT(active_power_c)),
    raw("总有功功率", "active_power_total", AT(active_power_total)),
    raw("A相无功功率", "reactive_power_a", AT(reactive_power_a)),
    raw("B相无功功率", "reactive_power_b", AT(reactive_power_b)),
    raw("C相无功功率", "reactive_power_c", AT(reactive_power_c)),
    raw("总无功功率", "reactive_power_total", AT(reactive_power_total)),
    raw("A相视在功率", "apparent_power_a", AT(apparent_power_a)),
    raw("B相视在功率", "apparent_power_b", AT(apparent_power_b)),
    raw("C相视在功率", "apparent_power_c", AT(apparent_power_c)),
    raw("总视在功率", "apparent_power_total", AT(apparent_power_total)),
    raw("A相功率因数", "power_factor_a", AT(power_factor_a)),
    raw("B相功率因数", "power_factor_b", AT(power_factor_b)),
    raw("C相功率因数", "power_factor_c", AT(power_factor_c)),
    raw("总功率因数", "power_factor_total", AT(power_factor_total)),
    raw("频率", "frequency", AT(frequency)),
    raw("A/AB电压相角", "voltage_angle_a", AT(voltage_angle_a)),
    raw("B/BC电压相角", "voltage_angle_b", AT(voltage_angle_b)),
    raw("C/CA电压相角", "voltage_angle_c", AT(voltage_angle_c)),
    raw("A相电流相角", "current_angle_a", AT(current_angle_a)),
    raw("B相电流相角", "current_angle_b", AT(current_angle_b)),
    raw("C相电流相角", "current_angle_c", AT(current_angle_c)),
    raw("计算中性线电流", "neutral_current_calc", AT(neutral_current_calc)),
};
// Registers 0 to 35 in order, nothing skipped: the measurement_spare block
// (36 to 71) is read but not reported.
static_assert(kMeasurements[35].offset - kMeasurements[0].offset == 35 * 2);

constexpr NumericSignal kSoePointerTotal =
    raw("SOE指针总数", "soe_pointer_total", AT(soe_pointer_total));

constexpr NumericSignal kEnergies[4] = {
    {"正向有功电能", "energy_fwd_active", AT(energy_fwd_active), Conversion::Tenths},
    {"反向有功电能", "energy_rev_active", AT(energy_rev_active), Conversion::Tenths},
    {"正向无功电能", "energy_fwd_reactive", AT(energy_fwd_reactive), Conversion::Tenths},
    {"反向无功电能", "energy_rev_reactive", AT(energy_rev_reactive), Conversion::Tenths},
};

constexpr NumericSignal kRatings[4] = {
    raw("电压一次侧额定值", "voltage_primary_rated", AT(voltage_primary_rated)),
    raw("电压二次侧额定值", "voltage_secondary_rated", AT(voltage_secondary_rated)),
    raw("电流一次侧额定值", "current_primary_rated", AT(current_primary_rated)),
    raw("电流二次侧额定值", "current_secondary_rated", AT(current_secondary_rated)),
};

// ---- Status words and their bits ----------------------------------------

const char* const kAlertArrayKey = "AlertArray";
const char* const kAlertArrayId = "alert_array";

// The same six names are the alarm names the configuration maps to signal ids.
constexpr BitSignal kVoltageAlarms[] = {
    {"A相过压告警", "alarm_a_over_voltage", 0}, {"A相欠压告警", "alarm_a_under_voltage", 1},
    {"B相过压告警", "alarm_b_over_voltage", 2}, {"B相欠压告警", "alarm_b_under_voltage", 3},
    {"C相过压告警", "alarm_c_over_voltage", 4}, {"C相欠压告警", "alarm_c_under_voltage", 5},
};
constexpr BitSignal kDigitalInputs[] = {
    {"DI1", "di1", 0}, {"DI2", "di2", 1}, {"DI3", "di3", 2}, {"DI4", "di4", 3}};
constexpr BitSignal kDigitalOutputs[] = {{"DO1", "do1", 0}, {"DO2", "do2", 1}};

constexpr StatusWord kStatusWords[3] = {
    statusWord(raw("越限报警状态", "limit_alarm_status", AT(limit_alarm_status)), kVoltageAlarms,
               "告警", "正常", true),
    statusWord(raw("DI状态", "di_status", AT(di_status)), kDigitalInputs, "闭合", "断开", false),
    statusWord(raw("DO状态", "do_status", AT(do_status)), kDigitalOutputs, "动作", "返回", false),
};

// ---- Settings -------------------------------------------------------------

const char* const kInvalidCodeText = "无效值";

constexpr const char* kWiringModes[] = {"DEMO", "3P4W", "3P3W"};
constexpr const char* kPowerFactorAlgorithms[] = {"IEC", "IEEE", "-IEEE"};
constexpr const char* kApparentPowerAlgorithms[] = {"矢量法", "标量法"};
constexpr const char* kCurrentDirections[] = {"正向", "反向"};
constexpr const char* kPulseConstants[] = {"5000", "25000"};
constexpr const char* kContactPulseTypes[] = {"无脉冲", "正向有功电能脉冲", "反向有功电能脉冲",
                                              "正向无功电能脉冲", "反向无功电能脉冲"};
constexpr const char* kHarmonicAlgorithms[] = {"THDf", "THDr"};
constexpr const char* kRemoteControlPresets[] = {"退出", "使能"};

constexpr SettingSignal kSettings[10] = {
    setting("接线方式", "wiring_mode", AT(wiring_mode), kWiringModes),
    setting("功率因数算法", "pf_algorithm", AT(pf_algorithm), kPowerFactorAlgorithms),
    setting("视在功率算法", "apparent_power_algorithm", AT(apparent_power_algorithm),
            kApparentPowerAlgorithms),
    setting("A相电流方向设置", "current_direction_a", AT(current_direction_a), kCurrentDirections),
    setting("B相电流方向设置", "current_direction_b", AT(current_direction_b), kCurrentDirections),
    setting("C相电流方向设置", "current_direction_c", AT(current_direction_c), kCurrentDirections),
    setting("电能脉冲常数", "pulse_constant", AT(pulse_constant), kPulseConstants),
    setting("接点脉冲类型", "contact_pulse_type", AT(contact_pulse_type), kContactPulseTypes),
    setting("谐波算法", "harmonic_algorithm", AT(harmonic_algorithm), kHarmonicAlgorithms),
    setting("遥控预置", "remote_control_preset", AT(remote_control_preset), kRemoteControlPresets),
};

// ---- Harmonics ------------------------------------------------------------

namespace {

struct HarmonicSource {
    const char* quantity;
    const char* quantityId;
    std::size_t low;   // THD, TOHD, TEHD, H2 .. H18
    std::size_t high;  // H19 .. H31
};

constexpr HarmonicSource kHarmonicSources[] = {
    {"电流", "current", AT(current_harmonics_low), AT(current_harmonics_high)},
    {"电压", "voltage", AT(voltage_harmonics_low), AT(voltage_harmonics_high)},
};
constexpr const char* kPhases[] = {"A", "B", "C"};
constexpr const char* kPhaseIds[] = {"a", "b", "c"};
constexpr const char* kTotals[] = {"THD", "TOHD", "TEHD"};
constexpr const char* kTotalIds[] = {"thd", "tohd", "tehd"};
constexpr unsigned kLowestOrder = 2;
constexpr unsigned kHighestOrder = 31;
// Items of a quantity: the three totals, then one per harmonic order.
constexpr std::size_t kItems = std::size(kTotals) + kHighestOrder - kLowestOrder + 1;
// The meter reports the items of a quantity interleaved by phase (item i,
// phase p at slot 3i + p) over its two register blocks: the first 60 slots in
// the low block (the rest of it is not reported), the next 39 in the high one.
constexpr std::size_t kLowSlots = 60;

constexpr std::size_t append(char* out, std::size_t at, const char* text) {
    while (*text != '\0') out[at++] = *text++;
    return at;
}

constexpr std::array<HarmonicSignal, 198> makeHarmonics() {
    std::array<HarmonicSignal, 198> rows{};
    std::size_t row = 0;
    for (const HarmonicSource& source : kHarmonicSources) {
        for (std::size_t item = 0; item < kItems; ++item) {
            for (std::size_t phase = 0; phase < std::size(kPhases); ++phase) {
                HarmonicSignal& signal = rows[row++];
                std::size_t at = append(signal.key, 0, kPhases[phase]);
                at = append(signal.key, at, "相");
                at = append(signal.key, at, source.quantity);
                // The id: quantity, item, phase ("voltage_thd_a", "current_h19_b").
                std::size_t idAt = append(signal.id, 0, source.quantityId);
                signal.id[idAt++] = '_';
                if (item < std::size(kTotals)) {
                    at = append(signal.key, at, kTotals[item]);
                    idAt = append(signal.id, idAt, kTotalIds[item]);
                } else {
                    const unsigned order = kLowestOrder + (item - std::size(kTotals));
                    signal.key[at++] = 'H';
                    signal.id[idAt++] = 'h';
                    if (order >= 10) {
                        signal.key[at++] = static_cast<char>('0' + order / 10);
                        signal.id[idAt++] = static_cast<char>('0' + order / 10);
                    }
                    signal.key[at++] = static_cast<char>('0' + order % 10);
                    signal.id[idAt++] = static_cast<char>('0' + order % 10);
                }
                signal.id[idAt++] = '_';
                append(signal.id, idAt, kPhaseIds[phase]);
                const std::size_t slot = 3 * item + phase;
                signal.offset =
                    slot < kLowSlots ? source.low + 2 * slot : source.high + 2 * (slot - kLowSlots);
            }
        }
    }
    return rows;
}

static_assert(std::size(kHarmonicSources) * kItems * std::size(kPhases) == 198);
static_assert(kItems * std::size(kPhases) - kLowSlots == 39, "H19..H31 fill 39 high slots");

}  // namespace

constexpr std::array<HarmonicSignal, 198> kHarmonics = makeHarmonics();

// Last current item: C phase H31 at element 38 of the high block.
static_assert(kHarmonics[98].offset == AT(current_harmonics_high) + 2 * 38);
static_assert(kHarmonics[99].offset == AT(voltage_harmonics_low));
static_assert(kHarmonics[197].offset == AT(voltage_harmonics_high) + 2 * 38);

const char* const kUpdateTimeKey = "更新时间";
const char* const kUpdateTimeId = "update_time";

// Every member the builder writes at the top level: 270.
static_assert(std::size(kMeasurements) + 1 + std::size(kStatusWords) + std::size(kVoltageAlarms) +
                  1 + std::size(kDigitalInputs) + std::size(kDigitalOutputs) +
                  std::size(kEnergies) + kHarmonics.size() + std::size(kRatings) +
                  std::size(kSettings) + 1 ==
              270);

#undef AT

}  // namespace ved96_report

// The record is a stored byte format: history and cache images written by one
// build are read by another, so every field's offset is checked by hand.
#include "ved96/record.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace {

struct FieldAt {
    const char* name;
    std::size_t offset;
    std::size_t size;
};

#define FIELD(f) #f, offsetof(ved96_Data_t, f), sizeof(ved96_Data_t::f)

// Offsets and widths written from the meter's record layout table.
const std::pair<FieldAt, FieldAt> kLayout[] = {
    {{FIELD(data_id)}, {"data_id", 0, 4}},
    {{FIELD(phase_voltage_a)}, {"phase_voltage_a", 4, 2}},
    {{FIELD(phase_voltage_b)}, {"phase_voltage_b", 6, 2}},
    {{FIELD(phase_voltage_c)}, {"phase_voltage_c", 8, 2}},
    {{FIELD(phase_voltage_avg)}, {"phase_voltage_avg", 10, 2}},
    {{FIELD(line_voltage_ab)}, {"line_voltage_ab", 12, 2}},
    {{FIELD(line_voltage_bc)}, {"line_voltage_bc", 14, 2}},
    {{FIELD(line_voltage_ca)}, {"line_voltage_ca", 16, 2}},
    {{FIELD(line_voltage_avg)}, {"line_voltage_avg", 18, 2}},
    {{FIELD(current_a)}, {"current_a", 20, 2}},
    {{FIELD(current_b)}, {"current_b", 22, 2}},
    {{FIELD(current_c)}, {"current_c", 24, 2}},
    {{FIELD(current_avg)}, {"current_avg", 26, 2}},
    {{FIELD(active_power_a)}, {"active_power_a", 28, 2}},
    {{FIELD(active_power_b)}, {"active_power_b", 30, 2}},
    {{FIELD(active_power_c)}, {"active_power_c", 32, 2}},
    {{FIELD(active_power_total)}, {"active_power_total", 34, 2}},
    {{FIELD(reactive_power_a)}, {"reactive_power_a", 36, 2}},
    {{FIELD(reactive_power_b)}, {"reactive_power_b", 38, 2}},
    {{FIELD(reactive_power_c)}, {"reactive_power_c", 40, 2}},
    {{FIELD(reactive_power_total)}, {"reactive_power_total", 42, 2}},
    {{FIELD(apparent_power_a)}, {"apparent_power_a", 44, 2}},
    {{FIELD(apparent_power_b)}, {"apparent_power_b", 46, 2}},
    {{FIELD(apparent_power_c)}, {"apparent_power_c", 48, 2}},
    {{FIELD(apparent_power_total)}, {"apparent_power_total", 50, 2}},
    {{FIELD(power_factor_a)}, {"power_factor_a", 52, 2}},
    {{FIELD(power_factor_b)}, {"power_factor_b", 54, 2}},
    {{FIELD(power_factor_c)}, {"power_factor_c", 56, 2}},
    {{FIELD(power_factor_total)}, {"power_factor_total", 58, 2}},
    {{FIELD(frequency)}, {"frequency", 60, 2}},
    {{FIELD(voltage_angle_a)}, {"voltage_angle_a", 62, 2}},
    {{FIELD(voltage_angle_b)}, {"voltage_angle_b", 64, 2}},
    {{FIELD(voltage_angle_c)}, {"voltage_angle_c", 66, 2}},
    {{FIELD(current_angle_a)}, {"current_angle_a", 68, 2}},
    {{FIELD(current_angle_b)}, {"current_angle_b", 70, 2}},
    {{FIELD(current_angle_c)}, {"current_angle_c", 72, 2}},
    {{FIELD(neutral_current_calc)}, {"neutral_current_calc", 74, 2}},
    {{FIELD(measurement_spare)}, {"measurement_spare", 76, 72}},
    {{FIELD(soe_pointer_total)}, {"soe_pointer_total", 148, 2}},
    {{FIELD(soe_pointer_spare)}, {"soe_pointer_spare", 150, 2}},
    {{FIELD(limit_alarm_status)}, {"limit_alarm_status", 152, 2}},
    {{FIELD(di_status)}, {"di_status", 154, 2}},
    {{FIELD(do_status)}, {"do_status", 156, 2}},
    {{FIELD(energy_fwd_active)}, {"energy_fwd_active", 158, 2}},
    {{FIELD(energy_rev_active)}, {"energy_rev_active", 160, 2}},
    {{FIELD(energy_fwd_reactive)}, {"energy_fwd_reactive", 162, 2}},
    {{FIELD(energy_rev_reactive)}, {"energy_rev_reactive", 164, 2}},
    {{FIELD(energy_spare)}, {"energy_spare", 166, 8}},
    {{FIELD(current_harmonics_low)}, {"current_harmonics_low", 174, 240}},
    {{FIELD(current_harmonics_high)}, {"current_harmonics_high", 414, 156}},
    {{FIELD(voltage_harmonics_low)}, {"voltage_harmonics_low", 570, 240}},
    {{FIELD(voltage_harmonics_high)}, {"voltage_harmonics_high", 810, 156}},
    {{FIELD(voltage_primary_rated)}, {"voltage_primary_rated", 966, 2}},
    {{FIELD(voltage_secondary_rated)}, {"voltage_secondary_rated", 968, 2}},
    {{FIELD(current_primary_rated)}, {"current_primary_rated", 970, 2}},
    {{FIELD(current_secondary_rated)}, {"current_secondary_rated", 972, 2}},
    {{FIELD(rating_spare)}, {"rating_spare", 974, 8}},
    {{FIELD(wiring_mode)}, {"wiring_mode", 982, 2}},
    {{FIELD(pf_algorithm)}, {"pf_algorithm", 984, 2}},
    {{FIELD(apparent_power_algorithm)}, {"apparent_power_algorithm", 986, 2}},
    {{FIELD(current_direction_a)}, {"current_direction_a", 988, 2}},
    {{FIELD(current_direction_b)}, {"current_direction_b", 990, 2}},
    {{FIELD(current_direction_c)}, {"current_direction_c", 992, 2}},
    {{FIELD(pulse_constant)}, {"pulse_constant", 994, 2}},
    {{FIELD(contact_pulse_type)}, {"contact_pulse_type", 996, 2}},
    {{FIELD(harmonic_algorithm)}, {"harmonic_algorithm", 998, 2}},
    {{FIELD(remote_control_preset)}, {"remote_control_preset", 1000, 2}},
    {{FIELD(update_time)}, {"update_time", 1002, 7}},
};
#undef FIELD

TEST(RecordLayout, IsPacked1009Bytes) {
    EXPECT_EQ(sizeof(ved96_Data_t), 1009u);
    EXPECT_EQ(alignof(ved96_Data_t), 1u);
}

TEST(RecordLayout, EveryFieldAtItsOffset) {
    std::size_t next = 0;
    for (const auto& [actual, expected] : kLayout) {
        SCOPED_TRACE(expected.name);
        EXPECT_STREQ(actual.name, expected.name);
        EXPECT_EQ(actual.offset, expected.offset);
        EXPECT_EQ(actual.size, expected.size);
        EXPECT_EQ(actual.offset, next) << "gap or overlap before this field";
        next = actual.offset + actual.size;
    }
    EXPECT_EQ(next, 1009u);
}

TEST(RecordLayout, UpdateTimeIsYearThenFiveBytes) {
    ved96_Data_t record{};
    record.update_time = ttime{2024, 3, 7, 9, 5, 2};
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    const unsigned char expected[] = {0xE8, 0x07, 3, 7, 9, 5, 2};  // 2024 little-endian
    for (int i = 0; i < 7; ++i) EXPECT_EQ(bytes[1002 + i], expected[i]) << "byte " << 1002 + i;
}

}  // namespace

// The ved96 meter record: the device's data id, every holding register read in
// a polling round, and the time the round ended.
//
// The same 1009 bytes are handed to the host's live data and history and are
// accepted back from its cache, so the layout is a stored byte format: packed,
// little-endian, one unsigned 16-bit field per register holding the register
// exactly as the meter sent it (no scaling, no sign, no register pairs).
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/ttime.h"

#pragma pack(push, 1)
struct ved96_Data_t {
    std::uint32_t data_id;  // the host's data id; not reported

    // Registers 0 to 71: instantaneous measurements.
    std::uint16_t phase_voltage_a;        // 0
    std::uint16_t phase_voltage_b;        // 1
    std::uint16_t phase_voltage_c;        // 2
    std::uint16_t phase_voltage_avg;      // 3
    std::uint16_t line_voltage_ab;        // 4
    std::uint16_t line_voltage_bc;        // 5
    std::uint16_t line_voltage_ca;        // 6
    std::uint16_t line_voltage_avg;       // 7
    std::uint16_t current_a;              // 8
    std::uint16_t current_b;              // 9
    std::uint16_t current_c;              // 10
    std::uint16_t current_avg;            // 11
    std::uint16_t active_power_a;         // 12
    std::uint16_t active_power_b;         // 13
    std::uint16_t active_power_c;         // 14
    std::uint16_t active_power_total;     // 15
    std::uint16_t reactive_power_a;       // 16
    std::uint16_t reactive_power_b;       // 17
    std::uint16_t reactive_power_c;       // 18
    std::uint16_t reactive_power_total;   // 19
    std::uint16_t apparent_power_a;       // 20
    std::uint16_t apparent_power_b;       // 21
    std::uint16_t apparent_power_c;       // 22
    std::uint16_t apparent_power_total;   // 23
    std::uint16_t power_factor_a;         // 24
    std::uint16_t power_factor_b;         // 25
    std::uint16_t power_factor_c;         // 26
    std::uint16_t power_factor_total;     // 27
    std::uint16_t frequency;              // 28
    std::uint16_t voltage_angle_a;        // 29
    std::uint16_t voltage_angle_b;        // 30
    std::uint16_t voltage_angle_c;        // 31
    std::uint16_t current_angle_a;        // 32
    std::uint16_t current_angle_b;        // 33
    std::uint16_t current_angle_c;        // 34
    std::uint16_t neutral_current_calc;   // 35
    std::uint16_t measurement_spare[36];  // 36 to 71, read and kept, not reported

    // Registers 100 to 104: event counter and status words.
    std::uint16_t soe_pointer_total;   // 100
    std::uint16_t soe_pointer_spare;   // 101
    std::uint16_t limit_alarm_status;  // 102: bits 0..5 over/under-voltage A, B, C
    std::uint16_t di_status;           // 103: bits 0..3 DI1..DI4
    std::uint16_t do_status;           // 104: bits 0..1 DO1, DO2

    // Registers 500 to 507: energy counters, in tenths.
    std::uint16_t energy_fwd_active;    // 500
    std::uint16_t energy_rev_active;    // 501
    std::uint16_t energy_fwd_reactive;  // 502
    std::uint16_t energy_rev_reactive;  // 503
    std::uint16_t energy_spare[4];      // 504 to 507

    // Registers 1400 to 1797: harmonics, interleaved by phase A, B, C.
    // Low arrays: THD at p, TOHD at 3+p, TEHD at 6+p, Hn (n = 2..18) at
    // 9+3(n-2)+p. High arrays: Hn (n = 19..31) at 3(n-19)+p.
    std::uint16_t current_harmonics_low[120];  // 1400 to 1519
    std::uint16_t current_harmonics_high[78];  // 1520 to 1597
    std::uint16_t voltage_harmonics_low[120];  // 1600 to 1719
    std::uint16_t voltage_harmonics_high[78];  // 1720 to 1797

    // Registers 6000 to 6017: ratings and settings (writable on the meter).
    std::uint16_t voltage_primary_rated;     // 6000
    std::uint16_t voltage_secondary_rated;   // 6001
    std::uint16_t current_primary_rated;     // 6002
    std::uint16_t current_secondary_rated;   // 6003
    std::uint16_t rating_spare[4];           // 6004 to 6007
    std::uint16_t wiring_mode;               // 6008
    std::uint16_t pf_algorithm;              // 6009
    std::uint16_t apparent_power_algorithm;  // 6010
    std::uint16_t current_direction_a;       // 6011
    std::uint16_t current_direction_b;       // 6012
    std::uint16_t current_direction_c;       // 6013
    std::uint16_t pulse_constant;            // 6014
    std::uint16_t contact_pulse_type;        // 6015
    std::uint16_t harmonic_algorithm;        // 6016
    std::uint16_t remote_control_preset;     // 6017

    ttime update_time;  // local time at which the round ended
};
#pragma pack(pop)

// The layout is binding: stored history and cache images depend on it.
static_assert(sizeof(ved96_Data_t) == 1009, "record image is 1009 bytes");
static_assert(alignof(ved96_Data_t) == 1, "record is byte-aligned");
static_assert(offsetof(ved96_Data_t, data_id) == 0);
static_assert(offsetof(ved96_Data_t, phase_voltage_a) == 4);
static_assert(offsetof(ved96_Data_t, neutral_current_calc) == 74);
static_assert(offsetof(ved96_Data_t, measurement_spare) == 76);
static_assert(offsetof(ved96_Data_t, soe_pointer_total) == 148);
static_assert(offsetof(ved96_Data_t, limit_alarm_status) == 152);
static_assert(offsetof(ved96_Data_t, di_status) == 154);
static_assert(offsetof(ved96_Data_t, do_status) == 156);
static_assert(offsetof(ved96_Data_t, energy_fwd_active) == 158);
static_assert(offsetof(ved96_Data_t, energy_spare) == 166);
static_assert(offsetof(ved96_Data_t, current_harmonics_low) == 174);
static_assert(offsetof(ved96_Data_t, current_harmonics_high) == 414);
static_assert(offsetof(ved96_Data_t, voltage_harmonics_low) == 570);
static_assert(offsetof(ved96_Data_t, voltage_harmonics_high) == 810);
static_assert(offsetof(ved96_Data_t, voltage_primary_rated) == 966);
static_assert(offsetof(ved96_Data_t, rating_spare) == 974);
static_assert(offsetof(ved96_Data_t, wiring_mode) == 982);
static_assert(offsetof(ved96_Data_t, remote_control_preset) == 1000);
static_assert(offsetof(ved96_Data_t, update_time) == 1002);

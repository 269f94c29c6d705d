// The ved96 polling sequence: ten holding-register blocks per round.
#pragma once

#include <array>
#include <cstddef>

#include "ved96/record.h"

// One block of the round: the poll stage that awaits its reply, the registers
// requested, and where the reply's words go in the record.
struct PollBlock {
    int stage;
    int start;
    int count;
    std::size_t offset;  // byte offset in ved96_Data_t
};

constexpr int kFirstPollStage = 11;
constexpr int kLastPollStage = 20;
constexpr int kWriteSingleStage = 206;
constexpr int kWriteMultipleStage = 210;

inline constexpr std::array<PollBlock, 10> kPollBlocks{{
    {11, 0, 72, offsetof(ved96_Data_t, phase_voltage_a)},
    {12, 100, 2, offsetof(ved96_Data_t, soe_pointer_total)},
    {13, 102, 3, offsetof(ved96_Data_t, limit_alarm_status)},
    {14, 500, 8, offsetof(ved96_Data_t, energy_fwd_active)},
    {15, 1400, 120, offsetof(ved96_Data_t, current_harmonics_low)},
    {16, 1520, 78, offsetof(ved96_Data_t, current_harmonics_high)},
    {17, 1600, 120, offsetof(ved96_Data_t, voltage_harmonics_low)},
    {18, 1720, 78, offsetof(ved96_Data_t, voltage_harmonics_high)},
    {19, 6000, 8, offsetof(ved96_Data_t, voltage_primary_rated)},
    {20, 6008, 10, offsetof(ved96_Data_t, wiring_mode)},
}};

// The blocks follow each other in the record and fill it from the first
// register field to the update time: 499 registers.
constexpr bool blocksTileTheRecord() {
    std::size_t next = offsetof(ved96_Data_t, phase_voltage_a);
    int stage = kFirstPollStage;
    for (const auto& block : kPollBlocks) {
        if (block.offset != next || block.stage != stage) return false;
        next += 2 * static_cast<std::size_t>(block.count);
        ++stage;
    }
    return next == offsetof(ved96_Data_t, update_time) && stage == kLastPollStage + 1;
}
static_assert(blocksTileTheRecord(), "poll blocks cover the register part of the record");

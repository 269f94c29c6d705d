// Every member of the ved96 report in one list, in the order the report is
// built, with its key, its ASCII id and where its value comes from. Built from
// the report tables, so the host runtime and the reference documents read the
// same rows the plug-in writes its report from.
#pragma once

#include <array>
#include <cstddef>

#include "ved96/report_tables.h"

namespace ved96_report {

enum class SignalKind {
    Number,      // a register as a real (raw or tenths)
    Bit,         // one bit of a status word, reported as the word's set or clear text
    Setting,     // a setting code, reported as the text of the code
    UpdateTime,  // the time the round ended, as text
    AlertArray,  // the nested object repeating the voltage alarms as booleans
};

struct Signal {
    const char* key;
    const char* id;
    SignalKind kind;
    std::size_t offset;  // record place of the register (of the word, for a bit)
    Conversion conversion = Conversion::Raw;  // Number
    const StatusWord* word = nullptr;         // Bit
    unsigned bit = 0;                         // Bit
    const SettingSignal* setting = nullptr;   // Setting
};

constexpr std::size_t kSignalCount = 270;

// The report's members in build order.
const std::array<Signal, kSignalCount>& signals();

// The signal with this id, or nullptr.
const Signal* findSignal(const char* id);

// The register number held at a record offset; -1 outside the registers.
int registerNumber(std::size_t offset);

}  // namespace ved96_report

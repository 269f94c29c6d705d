#include <sstream>
#include <stdexcept>

#include "meanings.h"
#include "references.h"
#include "ved96/signals.h"

namespace docgen {
namespace {

using namespace ved96_report;

std::string meaningOf(const Signal& signal) {
    const std::string text = meaning(signal.id);
    if (text.empty()) throw std::runtime_error(std::string("no meaning for ") + signal.id);
    return text;
}

// "告警" (alarm); plain ASCII texts stand alone unless they need explaining.
std::string quoted(const std::string& text) {
    const std::string en = english(text);
    if (en.empty()) throw std::runtime_error("no English for the text " + text);
    return "\"" + text + "\"" + (en == text ? "" : " (" + en + ")");
}

std::string registers(const Signal& signal) {
    switch (signal.kind) {
        case SignalKind::UpdateTime:
            return "none";
        case SignalKind::AlertArray:
            return std::to_string(registerNumber(signal.offset)) + ", bits 0–5";
        case SignalKind::Bit:
            return std::to_string(registerNumber(signal.offset)) + ", bit " +
                   std::to_string(signal.bit);
        default:
            return std::to_string(registerNumber(signal.offset));
    }
}

std::string conversion(const Signal& signal) {
    switch (signal.kind) {
        case SignalKind::Number:
            return signal.conversion == Conversion::Tenths ? "raw ÷ 10 in single precision" : "raw";
        case SignalKind::Bit:
            return "1: " + quoted(signal.word->setText) + ", 0: " + quoted(signal.word->clearText);
        case SignalKind::Setting:
            return "code table, below";
        case SignalKind::UpdateTime:
            return "text, e.g. \"2024-3-7 9:5:2\" (no padding)";
        case SignalKind::AlertArray:
            return "one boolean per alarm, keyed by the alarm's report key";
    }
    return "";
}

std::string jsonType(const Signal& signal) {
    switch (signal.kind) {
        case SignalKind::Number:
            return "real";
        case SignalKind::AlertArray:
            return "object";
        default:
            return "string";
    }
}

std::string hostType(const Signal& signal) {
    switch (signal.kind) {
        case SignalKind::Number:
            return "number";
        case SignalKind::Bit:
            return "boolean";
        case SignalKind::AlertArray:
            return "not a value";
        default:
            return "string";
    }
}

}  // namespace

std::string signalsReference() {
    std::ostringstream out;
    out << "# Signals of the ved96 report\n\n"
           "<!-- Made by ved96-docgen from the report's signal tables; do not edit.\n"
           "     scripts/docs writes it again. -->\n\n"
           "The report (`DeviceIoControl` 801 and 803, `vedhost --report`) is one JSON object\n"
           "with the "
        << kSignalCount
        << " members below, keyed as the meter names its signals (UTF-8, byte for\n"
           "byte). The report carries the meter's raw register values: units and\n"
           "fixed-point scaling are the meter's, and no unit is defined for any key.\n\n"
           "Each signal also has a stable ASCII id. vedhost uses the ids for its own\n"
           "outputs (the `--show` table, the MQTT state message, `vedhost history\n"
           "--format json|csv`) and for the presentation file that gives signals a\n"
           "label, a scale factor and a unit; the report itself keeps its keys.\n\n"
           "## How the ids are made\n\n"
           "- Measurements, counters, status words, energies, ratings and settings: the\n"
           "  name of the record field that holds the register (`phase_voltage_a`,\n"
           "  `energy_fwd_active`, `wiring_mode`).\n"
           "- Harmonics: quantity, item and phase, `QUANTITY_ITEM_PHASE`, with quantity\n"
           "  `current` or `voltage`, item `thd`, `tohd`, `tehd` or `h2` … `h31`, phase `a`,\n"
           "  `b` or `c`: `current_thd_a`, `voltage_tohd_b`, `current_h19_c`.\n"
           "- Status bits: `alarm_PHASE_over_voltage` and `alarm_PHASE_under_voltage`,\n"
           "  `di1` … `di4`, `do1`, `do2`.\n"
           "- `update_time` for the round's time and `alert_array` for the nested\n"
           "  object of alarm booleans.\n\n"
           "## Values in vedhost's outputs\n\n"
           "| Report value | Value by id |\n"
           "|---|---|\n"
           "| real | number: the presentation's scale applied, rounded to the precision "
           "the value has (`1.2`, not `1.20000005`) |\n"
           "| status bit text | boolean, true when the bit is 1 |\n"
           "| setting text | the same text |\n"
           "| update time | local time as `2024-03-07T09:05:02` |\n"
           "| `AlertArray` | none: its members are the alarm bits |\n\n"
           "## All signals, in the order the report is built\n\n"
           "| # | Report key | Id | Meaning | Register | Conversion | JSON type | Value by id |\n"
           "|---|---|---|---|---|---|---|---|\n";
    std::size_t row = 0;
    for (const Signal& signal : signals()) {
        out << "| " << ++row << " | \"" << signal.key << "\" | `" << signal.id << "` | "
            << meaningOf(signal) << " | " << registers(signal) << " | " << conversion(signal)
            << " | " << jsonType(signal) << " | " << hostType(signal) << " |\n";
    }
    out << "\n## Setting codes\n\n"
           "A setting is reported as the text of its code; the whole 16-bit register is\n"
           "compared, and any code not listed gives "
        << quoted(kInvalidCodeText) << ".\n";
    for (const SettingSignal& setting : kSettings) {
        out << "\n### `" << setting.id << "`: \"" << setting.key << "\", register "
            << registerNumber(setting.offset) << "\n\n| Code | Text |\n|---|---|\n";
        for (std::size_t code = 0; code < setting.textCount; ++code)
            out << "| " << code << " | " << quoted(setting.texts[code]) << " |\n";
    }
    return out.str();
}

}  // namespace docgen

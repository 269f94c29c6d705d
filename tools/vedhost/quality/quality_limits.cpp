#include "quality/quality_limits.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace vedhost::quality {
namespace {

constexpr double kNone = 0;  // the low limit of a criterion with a maximum only

}  // namespace

// EN 50160, low-voltage supply, under normal operating conditions, each
// period of one week.
const Criterion kCriteria[] = {
    // Supply voltage: 95 % of the ten-minute means within ±10 %, all of them
    // within +10 % / -15 %.
    {"voltage_95", Quantity::Voltage, 0, -10, 10, 9500},
    {"voltage_all", Quantity::Voltage, 0, -15, 10, 10000},
    // Frequency of a system synchronously connected to an interconnected
    // one: 99.5 % of the ten-second means within ±1 %, all of them within
    // +4 % / -6 %.
    {"frequency_995", Quantity::Frequency, 0, -1, 1, 9950},
    {"frequency_all", Quantity::Frequency, 0, -6, 4, 10000},
    // Supply voltage unbalance: 95 % of the ten-minute means at most 2 %.
    {"unbalance", Quantity::Unbalance, 0, kNone, 2, 9500},
    // Total harmonic distortion: 95 % of the ten-minute means at most 8 %.
    {"thd", Quantity::Thd, 0, kNone, 8, 9500},
    // Individual harmonic voltages, in per cent of the fundamental: 95 % of
    // the ten-minute means at most the table's value.
    {"h2", Quantity::Harmonic, 2, kNone, 2, 9500},
    {"h3", Quantity::Harmonic, 3, kNone, 5, 9500},
    {"h4", Quantity::Harmonic, 4, kNone, 1, 9500},
    {"h5", Quantity::Harmonic, 5, kNone, 6, 9500},
    {"h6", Quantity::Harmonic, 6, kNone, 0.5, 9500},
    {"h7", Quantity::Harmonic, 7, kNone, 5, 9500},
    {"h8", Quantity::Harmonic, 8, kNone, 0.5, 9500},
    {"h9", Quantity::Harmonic, 9, kNone, 1.5, 9500},
    {"h10", Quantity::Harmonic, 10, kNone, 0.5, 9500},
    {"h11", Quantity::Harmonic, 11, kNone, 3.5, 9500},
    {"h12", Quantity::Harmonic, 12, kNone, 0.5, 9500},
    {"h13", Quantity::Harmonic, 13, kNone, 3, 9500},
    {"h14", Quantity::Harmonic, 14, kNone, 0.5, 9500},
    {"h15", Quantity::Harmonic, 15, kNone, 0.5, 9500},
    {"h16", Quantity::Harmonic, 16, kNone, 0.5, 9500},
    {"h17", Quantity::Harmonic, 17, kNone, 2, 9500},
    {"h18", Quantity::Harmonic, 18, kNone, 0.5, 9500},
    {"h19", Quantity::Harmonic, 19, kNone, 1.5, 9500},
    {"h20", Quantity::Harmonic, 20, kNone, 0.5, 9500},
    {"h21", Quantity::Harmonic, 21, kNone, 0.5, 9500},
    {"h22", Quantity::Harmonic, 22, kNone, 0.5, 9500},
    {"h23", Quantity::Harmonic, 23, kNone, 1.5, 9500},
    {"h24", Quantity::Harmonic, 24, kNone, 0.5, 9500},
    {"h25", Quantity::Harmonic, 25, kNone, 1.5, 9500},
};
const std::size_t kCriterionCount = std::size(kCriteria);
// Two voltage, two frequency, unbalance, THD, and orders 2 to 25.
static_assert(std::size(kCriteria) == 6 + 24);

const Criterion* findCriterion(const char* id) {
    for (const Criterion& c : kCriteria)
        if (std::strcmp(c.id, id) == 0) return &c;
    return nullptr;
}

bool perPhase(const Criterion& c) {
    return c.quantity == Quantity::Voltage || c.quantity == Quantity::Thd ||
           c.quantity == Quantity::Harmonic;
}

namespace {

// "95", "99.5", "all".
std::string shareText(int share) {
    if (share >= 10000) return "all";
    char text[16];
    std::snprintf(text, sizeof text, "%g %%", share / 100.0);
    return text;
}

std::string percent(double value) {
    char text[16];
    std::snprintf(text, sizeof text, "%g", std::fabs(value));
    return text;
}

const char* ordinalSuffix(int n) {
    if (n % 100 >= 11 && n % 100 <= 13) return "th";
    switch (n % 10) {
        case 1:
            return "st";
        case 2:
            return "nd";
        case 3:
            return "rd";
    }
    return "th";
}

}  // namespace

std::string criterionText(const Criterion& c) {
    const std::string values =
        c.quantity == Quantity::Frequency ? "ten-second means" : "ten-minute means";
    const std::string of = c.share >= 10000 ? "all " : shareText(c.share) + " of the ";
    std::string limit;
    if (c.quantity == Quantity::Voltage || c.quantity == Quantity::Frequency) {
        limit = c.low == -c.high ? "within ±" + percent(c.high) + " %"
                                 : "within +" + percent(c.high) + " % / -" + percent(c.low) + " %";
        limit += " of nominal";
    } else {
        limit = "at most " + percent(c.high) + " %";
    }
    std::string what;
    switch (c.quantity) {
        case Quantity::Voltage:
            what = "voltage";
            break;
        case Quantity::Frequency:
            what = "frequency";
            break;
        case Quantity::Unbalance:
            what = "unbalance";
            break;
        case Quantity::Thd:
            what = "THD";
            break;
        case Quantity::Harmonic:
            what = std::to_string(c.order) + ordinalSuffix(c.order) + " harmonic";
            break;
    }
    return what + " " + limit + " for " + of + values;
}

}  // namespace vedhost::quality

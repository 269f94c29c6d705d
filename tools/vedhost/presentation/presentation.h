// How vedhost shows a meter's signals to people: a label, a scale factor and
// a unit per ASCII id, chosen by the user. The report carries the meter's raw
// register values and defines no units; the presentation is applied to
// vedhost's own outputs (--show, MQTT, history export), never to the report.
//
// The presentation is a JSON object keyed by signal id, `//` comments allowed
// when it is a file of its own:
//
//   {"phase_voltage_a": {"label": "Va", "scale": 0.1, "unit": "V",
//                        "device_class": "voltage", "state_class": "measurement"},
//    "energy_fwd_active": {"label": "import kWh", "unit": "kWh",
//                          "device_class": "energy", "state_class": "total_increasing"}}
//
// Every member is optional; "scale" is for numeric signals only.
// "device_class" and "state_class" tell a home automation system what kind of
// quantity a signal is when vedhost announces it (MQTT discovery): a class
// such as "voltage" or "energy", and "measurement", "total" or
// "total_increasing" (a counter that only grows; an energy dashboard wants
// that for kWh counters).
//
// With no presentation configured, vedhost uses its built-in one
// (Presentation::builtIn(), the same as examples/presentation.json): the
// meter's usual scale factors, units and classes, so that the MQTT state, its
// discovery and the web page carry units out of the box.
//
// Numbers leave here rounded to the precision they have (the registers are
// 16 bits, energies single precision): 1.2, not 1.20000005. Write them with
// presentedJson(), or with at most 15 significant digits, to keep them short.
#pragma once

#include <json/value.h>

#include <map>
#include <string>
#include <vector>

#include "common/json_text.h"
#include "presentation/signal_values.h"

namespace vedhost {

struct SignalStyle {
    std::string label;  // empty: the signal's id
    double scale = 1.0;
    std::string unit;
    std::string deviceClass;  // empty: none
    std::string stateClass;   // empty: none (a text or a setting)
};

class Presentation {
  public:
    // Reads the object; false with a one-line reason (unknown id, a member of
    // the wrong type, a scale that is zero or not finite) and nothing kept.
    bool parse(const Json::Value& object, std::string& error);
    // Reads a presentation file.
    bool load(const std::string& path, std::string& error);

    // The meter's own presentation, built in: what a host without a
    // configured one shows. builtIn().isBuiltIn() is true; a presentation
    // that parsed or loaded anything is not built in.
    static const Presentation& builtIn();
    bool isBuiltIn() const { return builtIn_; }

    // The user's style for an id, or nullptr.
    const SignalStyle* find(const std::string& id) const;
    // Ids the user gave a style, in id order.
    std::vector<std::string> ids() const;

    // The label shown for a signal: the user's, else its id.
    std::string label(const ved96_report::Signal& signal) const;
    std::string unit(const ved96_report::Signal& signal) const;

    // A value as presented: numbers scaled and rounded; others unchanged.
    Json::Value value(const SignalValue& value) const;
    // {"id": presented value, ...}: the state a meter publishes.
    Json::Value values(const std::vector<SignalValue>& values) const;
    // The value as a person reads it, with its unit: "220.1 V", "ALARM",
    // "closed", "3P4W".
    std::string text(const SignalValue& value) const;

  private:
    std::map<std::string, SignalStyle> styles_;
    bool builtIn_ = false;
};

// The number rounded to the shortest decimal that reads back as the same
// single-precision value: 0.100000001490116 gives 0.1.
double roundToSingle(double value);
// The same as text: "0.1", "220", "-3.5".
std::string numberText(double value);


// Columns a UTF-8 text takes on a terminal: CJK and other wide characters
// count two, combining marks none.
std::size_t displayWidth(const std::string& text);

}  // namespace vedhost

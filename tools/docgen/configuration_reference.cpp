#include <fstream>
#include <sstream>
#include <stdexcept>

#include "config/config.h"
#include "references.h"
#include "unidata/config_file.h"
#include "unidata/round_checks.h"
#include "ved96/polling.h"
#include "ved96/signals.h"

namespace docgen {
namespace {

using namespace ved96_report;

// An example file shown whole, under its path.
std::string example(const std::string& examples, const std::string& name, const char* syntax) {
    std::ifstream in(examples + "/" + name, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read example " + examples + "/" + name);
    std::ostringstream text;
    text << in.rdbuf();
    std::string body = text.str();
    if (body.empty() || body.back() != '\n') body += '\n';
    return "`examples/" + name + "`:\n\n```" + syntax + "\n" + body + "```\n";
}

// Text as code, or "(empty)".
std::string code(const std::string& text) { return text.empty() ? "(empty)" : "`" + text + "`"; }

std::string yesNo(bool value) { return value ? "raised" : "clear"; }

// The hysteresis of one limit over a run of values, as the evaluation runs it.
std::string hysteresisRows(bool upper, float threshold, float recovery,
                           std::initializer_list<float> values) {
    std::ostringstream out;
    out << "| Value | Alarm | Message |\n|---|---|---|\n";
    bool active = false;
    for (float v : values) {
        active = unidata::thresholdActive(upper, active, v, threshold, recovery);
        out << "| " << unidata::numberText(v) << " | " << yesNo(active) << " | "
            << (active ? "\"" +
                             unidata::thresholdMessage(unidata::numberText(v),
                                                       unidata::numberText(threshold), upper) +
                             "\""
                       : std::string("(empty)"))
            << " |\n";
    }
    return out.str();
}

std::string candidates() {
    std::ostringstream out;
    out << "| Order | Path for data id 7 |\n|---|---|\n";
    int order = 0;
    for (const std::string& path : ConfigFileCandidates(7, "ved96"))
        out << "| " << ++order << " | `" << path << "` |\n";
    return out.str();
}

std::string alarmNames() {
    std::ostringstream out;
    out << "| Alarm name | Signal | Bit of register " << registerNumber(kStatusWords[0].word.offset)
        << " |\n|---|---|---|\n";
    const StatusWord& word = kStatusWords[0];
    for (std::size_t i = 0; i < word.bitCount; ++i)
        out << "| \"" << word.bits[i].key << "\" | `" << word.bits[i].id << "` | "
            << word.bits[i].bit << " |\n";
    return out.str();
}

std::string derivedIds() {
    std::ostringstream out;
    out << "| Signal id | Alarm id |\n|---|---|\n";
    for (const char* id : {"abcdefghijk", "01101001001", "01101005001"})
        out << "| `" << id << "` | `" << unidata::alarmIdFor(id) << "` |\n";
    return out.str();
}

std::string aiValues() {
    std::ostringstream out;
    out << "| Value | Signal id | Signal name |\n|---|---|---|\n";
    for (const char* value : {"01101001001,phase A voltage", "X", "a,b,c", ",name"}) {
        const auto split = SplitAiValue(value);
        out << "| `" << value << "` | " << code(split.first) << " | " << code(split.second)
            << " |\n";
    }
    return out.str();
}

// One analog change setting over a run of values, reported or not.
std::string analogRows() {
    SMDVDevice::BAOSetting setting{};
    setting.absEnable = true;
    setting.absDelta = 5;
    setting.pctEnable = true;
    setting.pctDelta = 1;
    setting.lastValue = 2300;
    setting.lastReportTime = 1000;
    std::ostringstream out;
    out << "| Value | Reported | Next comparison with |\n|---|---|---|\n";
    for (float v : {2304.0f, 2306.0f, 2302.0f, 2280.0f}) {
        const bool due = unidata::aoReportDue(setting, v, 1010);
        if (due) setting.lastValue = v;
        out << "| " << unidata::numberText(v) << " | " << (due ? "yes" : "no") << " | "
            << unidata::numberText(setting.lastValue) << " |\n";
    }
    return out.str();
}

}  // namespace

std::string configurationReference(const std::string& examples) {
    std::ostringstream out;
    out << "# Configuring ved96 meters and vedhost\n\n"
           "<!-- Made by ved96-docgen from the setting readers' tables and the files\n"
           "     under examples/; do not edit. scripts/docs writes it again. -->\n\n"
           "## The settings document\n\n"
           "The host hands every meter a JSON settings document when it initialises it\n"
           "(`InitSetting`; `vedhost --settings FILE` or a meter's `\"settings\"` in a\n"
           "`--config` document). Its `\"appSetting\"` object selects the configuration\n"
           "scheme with `\"b_mode\"` (a number, or text that starts with a decimal number):\n\n"
           "| `b_mode` | Scheme | Read from |\n|---|---|---|\n"
           "| 1 (when `b_mode` is not given) | file scheme: analog signals and meter alarms | the "
           "meter's INI or YAML file |\n"
           "| 3 | alarm identification: alarm id texts per signal, listed on the console | "
           "`\"thresholdSetting\"` |\n"
           "| 5 | threshold scheme: limits with hysteresis on report values | "
           "`\"thresholdSetting\"` |\n\n"
           "Any other value loads no scheme. In every case the host then reads its own\n"
           "settings from the same document.\n\n"
        << example(examples, "settings/file-scheme.json", "json") << "\n"
        << example(examples, "settings/threshold-scheme.json", "json") << "\n"
        << example(examples, "settings/alarm-id-scheme.json", "json")
        << "\n## File scheme (`b_mode` 1)\n\n"
           "### Where the file is looked for\n\n"
           "The meter's file is named by its data id or by the device type (`ved96`) and\n"
           "lies under `./ini/` or `./ini/vizize/`, relative to the host's working\n"
           "directory. The first of these eight that exists is read; `.yaml` is read as\n"
           "YAML and `.ini` as INI:\n\n"
        << candidates()
        << "\nWhen none exists the meter prints `data_id:7 model:ved96 b ini not found` and\n"
           "loads no tables; the host's settings are still read.\n\n"
           "### Contents\n\n"
           "Two tables. **AI** maps a report key (docs/signals.md) to `signal id,signal\n"
           "name`, split at the first comma (without one, the whole value is both):\n\n"
        << aiValues()
        << "\n**ALARM** maps one of the meter's six voltage alarms to the signal id under\n"
           "which it is forwarded to the host (the text before the first comma):\n\n"
        << alarmNames()
        << "\nIn INI form both sections must be present (an empty one is fine); keys and\n"
           "section names are case-sensitive, blanks around them are trimmed, and lines\n"
           "starting with `;` or `#` are comments. In YAML form `AI` and `ALARM` are\n"
           "optional mappings of scalars, read as text exactly as written.\n\n"
        << example(examples, "ini/7.ini", "ini") << "\n"
        << example(examples, "ini/7.yaml", "yaml")
        << "\n### Derived alarm ids\n\n"
           "After every round each AI signal present in the report is checked against\n"
           "the host's thresholds and analog report settings under an alarm id derived\n"
           "from its signal id: the character at index 3 (counting from 0) becomes `6`\n"
           "and the one at index 8 becomes `1`. A shorter id keeps the positions it has.\n\n"
        << derivedIds()
        << "\n### Analog change reporting\n\n"
           "An AI value is reported to the host only when the host's analog report\n"
           "setting for the signal id (or, failing that, for its derived alarm id, whose\n"
           "setting is then copied to the signal id) says so: the value left the band of\n"
           "`absDelta` around the last reported value, or the band of `pctDelta` percent\n"
           "of it (both strict, in single precision), or `periodMinutes` have passed\n"
           "since the last report. A report remembers the value and time. With\n"
           "`absDelta` 5, `pctDelta` 1 and a last reported value of 2300:\n\n"
        << analogRows()
        << "\n## Threshold scheme (`b_mode` 5)\n\n"
           "Each member of `\"thresholdSetting\"` describes one report signal (member names\n"
           "are free). `\"ID\"` and `\"SignalName\"` (a report key) are required; a limit is\n"
           "loaded when all three of its keys are given (numbers or numeric text):\n\n"
           "| Limit | Threshold | Recovery value | Level | Alarm id |\n|---|---|---|---|---|\n"
           "| upper | `UpValue` | `UpReconverValue` | `UpAlarmLevel` | ID + `001` |\n"
           "| second upper | `Up2Value` | `Up2ReconverValue` | `Up2AlarmLevel` | ID + `002` |\n"
           "| lower | `LowValue` | `LowReconverValue` | `LowAlarmLevel` | ID + `003` |\n"
           "| second lower | `Low2Value` | `Low2ReconverValue` | `Low2AlarmLevel` | ID + `004` "
           "|\n\n"
           "After every round each limit is evaluated against the report value with\n"
           "hysteresis: an upper alarm is raised at value ≥ threshold and stays raised\n"
           "while value > recovery value; a lower alarm is raised at value ≤ threshold\n"
           "and stays raised while value < recovery value. Every limit is reported to\n"
           "the host each round, raised or clear. An upper limit of 240 recovering at\n"
           "235:\n\n"
        << hysteresisRows(true, 240, 235, {230, 240, 238, 235, 241})
        << "\nA lower limit of 180 recovering at 185:\n\n"
        << hysteresisRows(false, 180, 185, {190, 180, 183, 185})
        << "\n## Alarm identification scheme (`b_mode` 3)\n\n"
           "Each member of `\"thresholdSetting\"` is a signal key with optional\n"
           "`\"NMAlarmID\"`, `\"ID\"`, `\"SignalNumber\"` and `\"SignalName\"`. The three\n"
           "identifiers are joined into one text, each followed by `;` (a missing one\n"
           "leaves its place empty and is named on the console), and one console line per\n"
           "signal shows it: `mobile:Ua:N1;I1;S1; level:0 value:0`.\n\n"
           "## Control codes\n\n"
           "Requests through `DeviceIoControl(code, in, inLen, out, outLen, outLenRet)`;\n"
           "input words are 16-bit, in host byte order.\n\n"
           "| Code | Input | Result |\n|---|---|---|\n"
           "| "
        << kWriteSingleStage
        << " | word 0 register, word 1 value | 0; the meter's answer is read later |\n"
           "| "
        << kWriteMultipleStage
        << " | word 0 first register, words 1 … n the values (n = inLen / 2 − 1) | 0; the "
           "meter's answer is read later |\n"
           "| 310 | a JSON object as text with `\"signal_id\"` | −1 when it does not parse, "
           "else the host's result |\n"
           "| 320 | as 310; parsed only outside the file scheme | as 310 |\n"
           "| 801 | none | the report as compact JSON text in `out`, its length in "
           "`outLenRet`; −1 when `outLen` is too small |\n"
           "| 803 | none | the address of the report document (pointer-sized); −1 when "
           "`outLen` is too small |\n"
           "| any other | as the host expects | first the outcome of the last write as a "
           "signed 32-bit value (−1 no reply yet, 1 acknowledged, 3 refused), then the "
           "host's handler |\n\n"
           "`vedhost --write REG=V[,V...]` makes a "
        << kWriteSingleStage << " or " << kWriteMultipleStage
        << " request after a meter's first round,\n"
           "reads the outcome back and prints `acknowledged`, `refused` or `no reply`.\n\n"
           "## vedhost's configuration\n\n"
           "`vedhost --config FILE` reads the serial lines and TCP endpoints with their\n"
           "meters, and any other setting of vedhost. The lines and meters:\n\n"
           "| Key | Where | Meaning |\n|---|---|---|\n"
           "| `lines` | top | the lines and endpoints, each polled by a thread of its own |\n"
           "| `rtu` or `tcp` | line | serial device, or `HOST:PORT` |\n"
           "| `baud`, `parity`, `data_bits`, `stop_bits` | line | serial settings (9600, "
           "`N`, 8, 1) |\n"
           "| `timeout_ms`, `frame_gap_ms` | line | response time-out, pause between "
           "frames |\n"
           "| `meters` | line | the meters on the line, polled in turn |\n"
           "| `slave`, `data_id` | meter | unit id (1 … 247) and data id (unique) |\n"
           "| `settings` | meter | the settings document, inline or as a file name |\n"
           "| `presentation` | top | labels, scale factors and units by signal id, "
           "inline or as a file name |\n\n"
        << example(examples, "vedhost.json", "json")
        << "\n### Every setting, on the command line and in the document\n\n"
           "Each setting has both spellings; given both ways, the command line wins.\n"
           "A dotted member is nested: `mqtt.queue` is `{\"mqtt\": {\"queue\": N}}`;\n"
           "`lines[].baud` is the `\"baud\"` of each line. File names in the document\n"
           "are taken from the document's folder, those on the command line from the\n"
           "working directory. `//` and `/* */` comments are allowed. Anything the\n"
           "document holds that no row below names, a value of the wrong type or out of\n"
           "range, two meters with one data id or a password file that cannot be read\n"
           "stops vedhost with one line naming the member (`mqtt.port: expected\n"
           "1..65535, got 70000`) and exit status 2, before any line is opened.\n"
           "`vedhost check-config FILE [options]` checks a document the same way and\n"
           "prints the settings in effect, each with where it came from (`command\n"
           "line`, `document`, `environment` or `default`), the MQTT password masked.\n"
           "The service's unit names the history file in its environment\n"
           "(`VEDHOST_DEFAULT_HISTORY=/var/lib/ved96/NAME.db`), used when neither\n"
           "`--history` nor the document's `history.path` names one.\n\n"
        << vedhost::optionsMarkdown()
        << "A presentation file (`vedhost --presentation FILE`, or a file name as the\n"
           "config's `\"presentation\"`) is the same object on its own; `//` comments are\n"
           "allowed in it. It applies to vedhost's outputs only, never to the report:\n\n"
        << example(examples, "presentation.json", "jsonc");
    return out.str();
}

}  // namespace docgen

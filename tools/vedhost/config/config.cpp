// Joins the concerns' option tables: the command line through CLI11, the
// --config document, the precedence between them (command line, then
// document, then defaults), `check-config`'s view and --help.
#include "config/config.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "common/json_file.h"
#include "common/parse.h"
#include "config/options.h"

namespace vedhost {
namespace {

// A row as the reader walks it: its table and its place there.
struct Bound {
    const OptionTable* table;
    std::size_t index;
    const OptionRow& row() const { return table->row(index); }
};

bool isRow(const OptionRow& row, const char* flag) {
    return row.flag != nullptr && std::string(row.flag) == flag;
}

// A member read by its array's row ("lines[].baud"): listed, never walked.
bool insideArray(const OptionRow& row) {
    return std::string(row.member).find("[]") != std::string::npos;
}

std::optional<Bound> rowForMember(const std::string& path) {
    for (const OptionTable* table : optionTables())
        for (std::size_t i = 0; i < table->size(); ++i) {
            const OptionRow& row = table->row(i);
            if (row.member != nullptr && !insideArray(row) && path == row.member)
                return Bound{table, i};
        }
    return std::nullopt;
}

// The members a document object at `prefix` may hold ("" for the top).
std::vector<std::string> membersOf(const std::string& prefix) {
    std::vector<std::string> names;
    const std::string start = prefix.empty() ? "" : prefix + ".";
    for (const OptionTable* table : optionTables())
        for (const OptionRow& row : *table) {
            if (row.member == nullptr || insideArray(row)) continue;
            const std::string member = row.member;
            if (member.compare(0, start.size(), start) != 0) continue;
            const std::string name =
                member.substr(start.size(), member.find('.', start.size()) - start.size());
            if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
        }
    std::sort(names.begin(), names.end());
    return names;
}

std::string boundText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

std::string rangeText(const OptionRow& row) {
    return boundText(row.min) + ".." + boundText(row.max);
}

// Checks a value as its row's type says and hands it to the row. From the
// command line `value` is the option's text.
bool applyRow(const Bound& bound, const Json::Value& value, Given given, HostConfig& config,
              std::string& error) {
    const OptionRow& row = bound.row();
    given.sources = &config.sources;
    given.row = &row;
    const bool text = given.source == Source::CommandLine;
    Json::Value v = value;
    switch (row.type) {
        case ValueType::Flag:
            if (text) {
                v = true;
            } else if (!value.isBool()) {
                error = given.name + ": expected true or false, got " + valueText(value);
                return false;
            }
            break;
        case ValueType::Text:
            if (!value.isString()) {
                error = given.name + ": expected a text, got " + valueText(value);
                return false;
            }
            break;
        case ValueType::Path:
            if (!value.isString() || (!text && value.asString().empty())) {
                error = given.name + ": expected a file name, got " + valueText(value);
                return false;
            }
            v = pathFrom(given.folder, value.asString());
            break;
        case ValueType::Integer:
            if (text) {
                long n = 0;
                if (!parseLong(value.asString(), static_cast<long>(row.min),
                               static_cast<long>(row.max), n)) {
                    error = given.name + ": expected a number " + rangeText(row) + ", got \"" +
                            value.asString() + "\"";
                    return false;
                }
                v = static_cast<Json::Int64>(n);
            } else if (!value.isIntegral() || !value.isInt64() ||
                       static_cast<double>(value.asInt64()) < row.min ||
                       static_cast<double>(value.asInt64()) > row.max) {
                // isInt64 first: the reader keeps numbers up to 2^64 (and
                // reals far beyond), and asking such a value for a 64-bit
                // integer throws.
                error = given.name + ": expected " + rangeText(row) + ", got " + valueText(value);
                return false;
            }
            break;
        case ValueType::Real: {
            double number = 0;
            bool ok = false;
            if (text) {
                const std::string& s = value.asString();
                char* end = nullptr;
                number = std::strtod(s.c_str(), &end);
                ok = !s.empty() && *end == '\0';
            } else if (value.isNumeric()) {
                number = value.asDouble();
                ok = true;
            }
            if (!ok || !std::isfinite(number) || number < row.min || number > row.max) {
                error = given.name + ": expected a number " + rangeText(row) + ", got " +
                        (text ? "\"" + value.asString() + "\"" : valueText(value));
                return false;
            }
            v = number;
            break;
        }
        case ValueType::Custom:
            break;
    }
    if (!bound.table->store(bound.index, config, v, given, error)) return false;
    config.sources.note(row.member != nullptr ? row.member : row.flag, given.source);
    return true;
}

// Walks one object of the document: each member is a row's, or a group of
// further members; anything else is refused by its path.
bool readObject(const Json::Value& object, const std::string& prefix, const std::string& folder,
                HostConfig& config, std::string& error) {
    for (const std::string& name : object.getMemberNames()) {
        const std::string path = prefix.empty() ? name : prefix + "." + name;
        const Json::Value& value = object[name];
        if (const std::optional<Bound> row = rowForMember(path)) {
            if (!applyRow(*row, value, Given{Source::Document, path, folder}, config, error))
                return false;
            continue;
        }
        const std::vector<std::string> inner = membersOf(path);
        if (!inner.empty()) {
            if (!value.isObject()) {
                error = path + ": expected an object, got " + valueText(value);
                return false;
            }
            if (!readObject(value, path, folder, config, error)) return false;
            continue;
        }
        std::string known;
        for (const std::string& member : membersOf(prefix))
            known += (known.empty() ? "" : ", ") + member;
        error = path + ": unknown member; " +
                (prefix.empty() ? std::string("the document") : prefix) + " has " + known;
        return false;
    }
    return true;
}

// Reads a parsed document into `config`; relative file names are taken from
// `folder`.
bool readDocument(const Json::Value& doc, const std::string& folder, HostConfig& config,
                  std::string& error) {
    if (!doc.isObject()) {
        error = "expected an object with a non-empty \"lines\" array";
        return false;
    }
    return readObject(doc, "", folder, config, error);
}

bool loadDocument(const std::string& path, HostConfig& config, std::string& error) {
    std::string text;
    Json::Value doc;
    if (!readFile(path, text, error)) return false;
    if (!parseJson(text, doc, error) || !readDocument(doc, folderOf(path), config, error)) {
        error = "config " + path + ": " + error;
        return false;
    }
    return true;
}

// --- The command line -----------------------------------------------------------------------

// The host's options on a CLI11 app, each bound to its row.
struct BoundOption {
    Bound row;
    CLI::Option* option;
};

std::vector<BoundOption> addRows(CLI::App& app) {
    std::vector<BoundOption> bound;
    for (const OptionTable* table : optionTables())
        for (std::size_t i = 0; i < table->size(); ++i) {
            const OptionRow& row = table->row(i);
            if (row.flag == nullptr) continue;
            const std::string name = isRow(row, "--help") ? "-h,--help" : row.flag;
            CLI::Option* option = row.valueName != nullptr ? app.add_option(name, row.help)
                                                           : app.add_flag(name, row.help);
            option->group(row.group);
            if (row.valueName != nullptr)
                option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
            bound.push_back({{table, i}, option});
        }
    return bound;
}

// CLI11's reasons in vedhost's words, where a user has met them before.
std::string cliReason(const CLI::ParseError& e) {
    const std::string what = e.what();
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
        const std::size_t colon = what.find(':');
        if (colon != std::string::npos) return what.substr(0, colon) + " needs a value";
    }
    return what;
}

// The first argument CLI11 left over, as a reason.
bool refuseExtras(const CLI::App& app, const std::string& where, std::string& error) {
    const std::vector<std::string> left = app.remaining();
    if (left.empty()) return true;
    if (left[0].size() > 1 && left[0][0] == '-')
        error = where + "unknown option \"" + left[0] + "\"";
    else
        error = where + "unexpected \"" + left[0] + "\"";
    return false;
}

// The host's options, in the order they were given, with their texts.
using GivenOptions = std::vector<std::pair<Bound, std::string>>;

GivenOptions givenOptions(const CLI::App& app, const std::vector<BoundOption>& bound) {
    GivenOptions given;
    std::map<const CLI::Option*, std::size_t> seen;
    for (const CLI::Option* option : app.parse_order()) {
        const auto it = std::find_if(bound.begin(), bound.end(),
                                     [&](const BoundOption& b) { return b.option == option; });
        if (it == bound.end()) continue;
        const std::size_t n = seen[option]++;
        const std::vector<std::string>& results = option->results();
        given.emplace_back(it->row, it->row.row().valueName != nullptr && n < results.size()
                                        ? results[n]
                                        : std::string());
    }
    return given;
}

// Checks across concerns once everything is read: a line to poll, from the
// command line or the document, and the host's time-out for the lines that
// give none of their own.
bool finishLines(HostConfig& c, std::string& error) {
    const bool lineGiven = c.sources.has("lines[].rtu") || c.sources.has("lines[].tcp");
    if (c.configPath.empty() && !lineGiven) {
        error = "give the meter's line with --rtu or --tcp, or --config";
        return false;
    }
    if (c.lines.empty()) {
        error = "config " + c.configPath + ": expected an object with a non-empty \"lines\" array";
        return false;
    }
    for (LineConfig& line : c.lines)
        if (line.timeoutMs == 0) line.timeoutMs = c.timeoutMs;
    return true;
}

// The supply-quality report keeps its values in the history, and reads the
// meter's values through the presentation's scales: both must be there.
bool finishQuality(const HostConfig& c, std::string& error) {
    if (!c.quality) return true;
    if (c.history.path.empty()) {
        error = c.sources.spelled("quality.nominal_v", "--quality-nominal-v") +
                ": the supply-quality report is kept in the history; give --history FILE";
        return false;
    }
    return quality::checkQualityPresentation(c.presentation, error);
}

// The concerns' own checks, after those across them; then the checks that
// need two concerns' finished settings.
bool finishAll(HostConfig& c, std::string& error) {
    if (!finishLines(c, error)) return false;
    for (const OptionTable* table : optionTables())
        if (!table->finish(c, error)) return false;
    // The Modbus server may name only polled meters.
    return finishQuality(c, error) &&
           (!c.modbusServer || checkServedMeters(*c.modbusServer, c.lines, error));
}

bool buildHostConfig(const GivenOptions& given, const std::string& checkPath,
                     const std::string& defaultPlugin, HostConfig& config, std::string& error) {
    HostConfig c;
    c.pluginPath = defaultPlugin;
    // Help and version first: they need nothing else to be right.
    for (const auto& [row, text] : given) {
        if (isRow(row.row(), "--help")) c.help = true;
        if (isRow(row.row(), "--version")) c.version = true;
    }
    if (c.help || c.version) {
        config = std::move(c);
        return true;
    }
    // The document to read, and the one-meter options that would contradict
    // its lines, before the document is read.
    for (const auto& [row, text] : given)
        if (isRow(row.row(), "--config")) c.configPath = text;
    if (!checkPath.empty()) {
        if (!c.configPath.empty()) {
            error = "check-config FILE and --config exclude each other";
            return false;
        }
        c.configPath = checkPath;
    }
    if (!c.configPath.empty()) {
        for (const auto& [bound, text] : given) {
            const OptionRow& row = bound.row();
            if (row.member != nullptr && std::string(row.member).rfind("lines[]", 0) == 0) {
                error = std::string("--config and ") +
                        (isRow(row, "--rtu") || isRow(row, "--tcp") ? "--rtu/--tcp" : row.flag) +
                        " exclude each other";
                return false;
            }
        }
        if (!loadDocument(c.configPath, c, error)) return false;
    }
    for (const auto& [row, text] : given) {
        if (isRow(row.row(), "--config")) continue;
        if (!applyRow(row, Json::Value(text), Given{Source::CommandLine, row.row().flag, ""}, c,
                      error))
            return false;
    }
    if (!finishAll(c, error)) {
        if (!c.configPath.empty() && error.rfind("config ", 0) != 0 && error.rfind("--", 0) != 0)
            error = "config " + c.configPath + ": " + error;
        return false;
    }
    config = std::move(c);
    return true;
}

// The presentation of a --config document, for `vedhost history`: only it
// is wanted, so the files the document names (a password, say) need not be
// readable by whoever lists the history.
bool documentPresentation(const std::string& path, Presentation& presentation, std::string& error) {
    HostConfig c;
    if (!loadDocument(path, c, error)) return false;
    presentation = c.presentation;
    return true;
}

}  // namespace

bool documentEnergy(const std::string& path, std::optional<EnergyOptions>& energy,
                    std::string& error) {
    HostConfig c;
    if (!loadDocument(path, c, error)) return false;
    energy = c.energy;
    return true;
}

bool parseInvocation(const std::vector<std::string>& args, const std::string& defaultPlugin,
                     Invocation& invocation, std::string& error) {
    CLI::App app{"vedhost"};
    app.set_help_flag();
    app.allow_extras();
    const std::vector<BoundOption> bound = addRows(app);
    CLI::App* history = app.add_subcommand("history", "list the records of a history file");
    const HistoryArguments historyArgs(*history);
    std::string checkPath;
    CLI::App* check =
        app.add_subcommand("check-config", "check a document and show the settings in effect");
    check->add_option("FILE", checkPath, "the --config document");
    // The host's options may follow the document's name.
    check->fallthrough();
    check->allow_extras();
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        error = cliReason(e);
        return false;
    }
    if (*history) {
        invocation.command = Invocation::Command::History;
        return refuseExtras(*history, "history: ", error) &&
               historyArgs.query(invocation.query, documentPresentation, error);
    }
    if (!refuseExtras(app, "", error)) return false;
    if (*check) {
        if (!refuseExtras(*check, "check-config: ", error)) return false;
        if (checkPath.empty()) {
            error = "check-config: give the document FILE";
            return false;
        }
        invocation.command = Invocation::Command::CheckConfig;
    } else {
        invocation.command = Invocation::Command::Run;
    }
    return buildHostConfig(givenOptions(app, bound), checkPath, defaultPlugin, invocation.config,
                           error);
}

bool parseCommandLine(const std::vector<std::string>& args, const std::string& defaultPlugin,
                      HostConfig& config, std::string& error) {
    Invocation invocation;
    if (!parseInvocation(args, defaultPlugin, invocation, error)) return false;
    if (invocation.command != Invocation::Command::Run) {
        error = "unexpected \"" + args.at(0) + "\"";
        return false;
    }
    config = std::move(invocation.config);
    return true;
}

bool parseConfigDocument(const std::string& text, int timeoutMs, std::vector<LineConfig>& lines,
                         std::string& error, Presentation* presentation) {
    Json::Value doc;
    if (!parseJson(text, doc, error)) return false;
    HostConfig c;
    c.timeoutMs = timeoutMs;
    if (!readDocument(doc, "", c, error)) return false;
    if (c.lines.empty()) {
        error = "expected an object with a non-empty \"lines\" array";
        return false;
    }
    for (LineConfig& line : c.lines)
        if (line.timeoutMs == 0) line.timeoutMs = c.timeoutMs;
    lines = std::move(c.lines);
    if (presentation != nullptr && doc.isMember("presentation"))
        *presentation = std::move(c.presentation);
    return true;
}

Json::Value effectiveConfiguration(const HostConfig& config) {
    Json::Value effective(Json::objectValue), from(Json::objectValue);
    for (const OptionTable* table : optionTables())
        for (std::size_t i = 0; i < table->size(); ++i) {
            const OptionRow& row = table->row(i);
            if (row.member == nullptr || insideArray(row)) continue;
            const Json::Value value = table->show(i, config);
            if (value.isNull()) continue;
            const std::string member = row.member;
            Json::Value* place = &effective;
            std::size_t start = 0;
            for (std::size_t dot; (dot = member.find('.', start)) != std::string::npos;
                 start = dot + 1)
                place = &(*place)[member.substr(start, dot - start)];
            (*place)[member.substr(start)] = value;
            Source source = Source::Default;
            for (const auto& [given, where] : config.sources)
                if (given == member || (member == "lines" && given.rfind("lines[]", 0) == 0) ||
                    (member == "mqtt.password" && given == "mqtt.password_file"))
                    source = where;
            from[member] = sourceName(source);
        }
    Json::Value out(Json::objectValue);
    if (!config.configPath.empty()) out["document"] = config.configPath;
    out["configuration"] = effective;
    out["from"] = from;
    return out;
}

// --- --help and the reference ------------------------------------------------------------------

namespace {

// The groups in the order their first row comes.
std::vector<std::string> groups() {
    std::vector<std::string> names;
    for (const OptionTable* table : optionTables())
        for (const OptionRow& row : *table)
            if (std::find(names.begin(), names.end(), row.group) == names.end())
                names.push_back(row.group);
    return names;
}

std::string flagText(const OptionRow& row) {
    std::string text = isRow(row, "--help") ? "-h, --help" : row.flag;
    if (row.valueName != nullptr) text += std::string(" ") + row.valueName;
    return text;
}

// The help as one line of words; "\n" in a row only shapes the source.
std::string oneLine(const char* help) {
    std::string text = help;
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

}  // namespace

std::string usageText() {
    constexpr std::size_t kFlagWidth = 24, kMemberWidth = 26, kWidth = 100;
    std::ostringstream out;
    out << "usage: vedhost (--rtu DEVICE | --tcp HOST:PORT | --config FILE) [options]\n"
           "       vedhost check-config FILE [options]\n"
           "       vedhost history FILE [--data-id N] [--since T] [--until T]\n"
           "                    [--resolution full|1m|15m|1d] [--format json|csv]\n"
           "                    [--presentation FILE | --config FILE]\n"
           "       vedhost history FILE --energy hour|day|week|month|year|billing|audit\n"
           "                    [--counter ID] [--data-id N] [--since T] [--until T]\n"
           "                    [--format json|csv] [--config FILE]\n"
           "       vedhost history FILE --info\n"
           "       vedhost history FILE --quality [--data-id N] [--since T] [--until T]\n"
           "Beside each option, its member in the --config document (mqtt.queue is\n"
           "{\"mqtt\": {\"queue\": N}}); an option given on the command line wins.\n";
    for (const std::string& group : groups()) {
        std::ostringstream rows;
        for (const OptionTable* table : optionTables())
            for (const OptionRow& row : *table) {
                if (row.group != group || row.flag == nullptr) continue;
                std::string line = "  " + flagText(row);
                if (line.size() + 1 > kFlagWidth)
                    line += "\n" + std::string(kFlagWidth, ' ');
                else
                    line.resize(kFlagWidth, ' ');
                const std::string member = row.member != nullptr ? row.member : "";
                const std::size_t lineStart =
                    line.rfind('\n') == std::string::npos ? 0 : line.rfind('\n') + 1;
                line += member;
                if (line.size() - lineStart + 2 > kFlagWidth + kMemberWidth)
                    line += "\n" + std::string(kFlagWidth + kMemberWidth, ' ');
                else
                    line.resize(lineStart + kFlagWidth + kMemberWidth, ' ');
                // The help, wrapped at word boundaries under its column.
                std::istringstream words(oneLine(row.help));
                std::string word;
                std::size_t column =
                    line.size() -
                    (line.rfind('\n') == std::string::npos ? 0 : line.rfind('\n') + 1);
                bool first = true;
                while (words >> word) {
                    if (!first && column + 1 + word.size() > kWidth) {
                        line += "\n" + std::string(kFlagWidth + kMemberWidth, ' ');
                        column = kFlagWidth + kMemberWidth;
                        first = true;
                    }
                    if (!first) {
                        line += ' ';
                        ++column;
                    }
                    line += word;
                    column += word.size();
                    first = false;
                }
                rows << line << "\n";
            }
        if (!rows.str().empty()) out << group << ":\n" << rows.str();
    }
    out << "exit status: 0 all well; 1 a meter completed no round (or gave up under --rounds),\n"
           "or a --write was refused or got no reply; 2 bad configuration\n";
    return out.str();
}

// A table cell's text: a "|" would end the cell.
std::string cell(std::string text) {
    for (std::size_t at = text.find('|'); at != std::string::npos; at = text.find('|', at + 2))
        text.insert(at, "\\");
    return text;
}

std::string optionsMarkdown() {
    std::ostringstream out;
    for (const std::string& group : groups()) {
        out << "**" << group << "**\n\n| Command line | Document | Meaning |\n|---|---|---|\n";
        for (const OptionTable* table : optionTables())
            for (const OptionRow& row : *table) {
                if (row.group != group) continue;
                out << "| " << (row.flag != nullptr ? "`" + cell(flagText(row)) + "`" : "—")
                    << " | " << (row.member != nullptr ? "`" + std::string(row.member) + "`" : "—")
                    << " | " << cell(oneLine(row.help)) << " |\n";
            }
        out << "\n";
    }
    return out.str();
}

}  // namespace vedhost

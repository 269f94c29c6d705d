#include "options.h"

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <memory>
#include <set>
#include <sstream>

namespace vedsim {

const char kUsage[] =
    "usage: ved96-sim (--rtu DEVICE | --pty | --tcp [HOST:]PORT) [options]\n"
    "  --rtu DEVICE          serve on a serial device or pseudo-terminal\n"
    "  --pty                 make a pseudo-terminal pair; prints \"pty PATH\", the path\n"
    "                        a master opens\n"
    "  --tcp [HOST:]PORT     serve Modbus TCP (host 127.0.0.1 unless given; port 0 picks\n"
    "                        a free one); prints \"tcp HOST:PORT\"\n"
    "  --slave ID[,ID...]    unit ids answered on the line, 1..247 (default 1); the\n"
    "                        others stay silent\n"
    "  --baud N              line speed (default 9600)\n"
    "  --parity N|E|O        line parity (default N)\n"
    "  --image FILE          serve a fixed register image: JSON object of register to value;\n"
    "                        once for every unit, or once per unit in --slave order\n"
    "  --units FILE          unit ids with their images: {\"1\": \"m1.json\", \"2\": {\"0\": "
    "2301},\n"
    "                        \"3\": null} (null: live values); instead of --slave/--image\n"
    "  --drop-every N        give no reply to every Nth request\n"
    "  --delay-ms MS         delay every reply by MS milliseconds\n"
    "  --faults-on N[-M]     --drop-every and --delay-ms hit only requests N to M\n"
    "                        (counted per unit from 1; M defaults to N)\n"
    "  --exception-at REG[:CODE]  answer requests touching REG with exception CODE\n"
    "                        (default 4); repeatable\n"
    "  --pace                reply no faster than a serial line at --baud\n"
    "  --strict-line         with --pty: leave unanswered what the master sends at\n"
    "                        another speed or parity than --baud and --parity\n"
    "  --tcp-fault KIND      every TCP reply answers another request: KIND transaction\n"
    "                        (another transaction id), protocol (protocol id 1) or\n"
    "                        length (header length one more than follows)\n"
    "  --energy-start RAW    live meters' forward active energy at start, 0.1 kWh\n"
    "                        counts 0..65535 (default 12345)\n"
    "  --speed N             live meters' time runs N times as fast (default 1)\n"
    "  --help                show this text\n"
    "  --version             show the version\n";

namespace {

// Strict decimal parse: digits only, within max.
bool parse_uint(const std::string& text, unsigned long max, unsigned long& value) {
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    value = std::stoul(text);
    return value <= max;
}

}  // namespace

bool parse_options(const std::vector<std::string>& args, SimOptions& o, std::string& error) {
    unsigned transports = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = opt + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        auto number = [&](unsigned long min, unsigned long max, unsigned& out) {
            std::string text;
            unsigned long n = 0;
            if (!value(text)) return false;
            if (!parse_uint(text, max, n) || n < min) {
                error = opt + ": expected a number " + std::to_string(min) + ".." +
                        std::to_string(max) + ", got \"" + text + "\"";
                return false;
            }
            out = static_cast<unsigned>(n);
            return true;
        };

        if (opt == "--help" || opt == "-h") {
            o.help = true;
        } else if (opt == "--rtu") {
            ++transports;
            o.transport = SimOptions::Transport::kRtu;
            if (!value(o.device)) return false;
        } else if (opt == "--pty") {
            ++transports;
            o.transport = SimOptions::Transport::kPty;
        } else if (opt == "--tcp") {
            ++transports;
            o.transport = SimOptions::Transport::kTcp;
            std::string text;
            if (!value(text)) return false;
            const size_t colon = text.rfind(':');
            const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
            if (colon != std::string::npos && colon > 0) o.host = text.substr(0, colon);
            unsigned long n = 0;
            if (!parse_uint(port, 65535, n)) {
                error = "--tcp: expected [HOST:]PORT, got \"" + text + "\"";
                return false;
            }
            o.port = static_cast<unsigned>(n);
        } else if (opt == "--slave") {
            std::string text;
            if (!value(text)) return false;
            std::stringstream items(text);
            std::vector<unsigned> slaves;
            std::set<unsigned> seen;
            unsigned long n = 0;
            for (std::string item; std::getline(items, item, ',');) {
                if (!parse_uint(item, 247, n) || n < 1 || !seen.insert(n).second) {
                    slaves.clear();
                    break;
                }
                slaves.push_back(static_cast<unsigned>(n));
            }
            if (slaves.empty() || text.back() == ',') {
                error = "--slave: expected distinct unit ids 1..247 separated by commas, got \"" +
                        text + "\"";
                return false;
            }
            o.slaves = slaves;
        } else if (opt == "--baud") {
            if (!number(50, 4000000, o.baud)) return false;
        } else if (opt == "--parity") {
            std::string text;
            if (!value(text)) return false;
            if (text != "N" && text != "E" && text != "O") {
                error = "--parity: expected N, E or O, got \"" + text + "\"";
                return false;
            }
            o.parity = text[0];
        } else if (opt == "--image") {
            std::string path;
            if (!value(path)) return false;
            o.image_paths.push_back(path);
        } else if (opt == "--units") {
            if (!value(o.units_path)) return false;
        } else if (opt == "--drop-every") {
            if (!number(1, 1000000, o.faults.drop_every)) return false;
        } else if (opt == "--delay-ms") {
            if (!number(0, 600000, o.faults.delay_ms)) return false;
        } else if (opt == "--faults-on") {
            std::string text;
            if (!value(text)) return false;
            const size_t dash = text.find('-');
            const std::string last = dash == std::string::npos ? text : text.substr(dash + 1);
            unsigned long from = 0, to = 0;
            const bool ok = parse_uint(text.substr(0, dash), 4000000000UL, from) &&
                            parse_uint(last, 4000000000UL, to) && from >= 1 && to >= from;
            if (!ok) {
                error = "--faults-on: expected N or N-M with 1 <= N <= M, got \"" + text + "\"";
                return false;
            }
            o.faults.faults_from = from;
            o.faults.faults_to = to;
        } else if (opt == "--exception-at") {
            std::string text;
            if (!value(text)) return false;
            const size_t colon = text.find(':');
            unsigned long reg = 0, code = kSlaveDeviceFailure;
            const bool ok = parse_uint(text.substr(0, colon), 65535, reg) &&
                            (colon == std::string::npos ||
                             (parse_uint(text.substr(colon + 1), 127, code) && code >= 1));
            if (!ok) {
                error =
                    "--exception-at: expected REG[:CODE] with CODE 1..127, got \"" + text + "\"";
                return false;
            }
            o.faults.exception_at[static_cast<uint16_t>(reg)] = static_cast<uint8_t>(code);
        } else if (opt == "--tcp-fault") {
            std::string text;
            if (!value(text)) return false;
            if (text == "transaction") {
                o.faults.tcp_fault = TcpFault::kTransaction;
            } else if (text == "protocol") {
                o.faults.tcp_fault = TcpFault::kProtocol;
            } else if (text == "length") {
                o.faults.tcp_fault = TcpFault::kLength;
            } else {
                error =
                    "--tcp-fault: expected transaction, protocol or length, got \"" + text + "\"";
                return false;
            }
        } else if (opt == "--energy-start") {
            if (!number(0, 65535, o.energy_start)) return false;
        } else if (opt == "--speed") {
            if (!number(1, 10000, o.speed)) return false;
        } else if (opt == "--pace") {
            o.faults.pace = true;
        } else if (opt == "--strict-line") {
            o.faults.strict_line = true;
        } else {
            error = "unknown option \"" + opt + "\"";
            return false;
        }
    }
    if (o.help) return true;
    if (transports != 1) {
        error = transports == 0 ? "choose one of --rtu, --pty or --tcp"
                                : "--rtu, --pty and --tcp exclude each other";
        return false;
    }
    if (o.image_paths.size() > 1 && o.image_paths.size() != o.slaves.size()) {
        error = "give --image once, or once for each unit of --slave";
        return false;
    }
    const bool slaveGiven = std::find(args.begin(), args.end(), "--slave") != args.end();
    if (!o.units_path.empty() && (slaveGiven || !o.image_paths.empty())) {
        error = "--units excludes --slave and --image";
        return false;
    }
    return true;
}

bool parse_units(const std::string& text, const std::string& base_dir,
                 std::vector<UnitSetup>& units, std::string& error) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string parse_error;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &parse_error)) {
        error = "not valid JSON: " + parse_error.substr(0, parse_error.find('\n'));
        return false;
    }
    if (!root.isObject() || root.empty()) {
        error = "expected a JSON object of unit id to image";
        return false;
    }
    std::vector<UnitSetup> parsed;
    for (const std::string& key : root.getMemberNames()) {
        unsigned long n = 0;
        if (!parse_uint(key, 247, n) || n < 1) {
            error = "unit \"" + key + "\" is not a unit id 1..247";
            return false;
        }
        UnitSetup unit;
        unit.slave = static_cast<unsigned>(n);
        const Json::Value& v = root[key];
        if (v.isString() && !v.asString().empty()) {
            unit.source = UnitSetup::Source::kFile;
            const std::string path = v.asString();
            unit.image = path[0] == '/' || base_dir.empty() ? path : base_dir + "/" + path;
        } else if (v.isObject()) {
            unit.source = UnitSetup::Source::kInline;
            unit.image = Json::writeString(Json::StreamWriterBuilder(), v);
        } else if (!v.isNull()) {
            error = "unit " + key + ": expected an image object, an image file name or null";
            return false;
        }
        parsed.push_back(std::move(unit));
    }
    // Keys of a JSON object are ordered as text: "10" before "2".
    std::sort(parsed.begin(), parsed.end(),
              [](const UnitSetup& a, const UnitSetup& b) { return a.slave < b.slave; });
    for (std::size_t i = 1; i < parsed.size(); ++i) {
        if (parsed[i].slave == parsed[i - 1].slave) {
            error = "unit " + std::to_string(parsed[i].slave) + " is given twice";
            return false;
        }
    }
    units = std::move(parsed);
    return true;
}

}  // namespace vedsim

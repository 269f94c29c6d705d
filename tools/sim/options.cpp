#include "options.h"

#include <algorithm>

namespace vedsim {

const char kUsage[] =
    "usage: ved96-sim (--rtu DEVICE | --pty | --tcp [HOST:]PORT) [options]\n"
    "  --rtu DEVICE          serve on a serial device or pseudo-terminal\n"
    "  --pty                 make a pseudo-terminal pair; prints \"pty PATH\", the path\n"
    "                        a master opens\n"
    "  --tcp [HOST:]PORT     serve Modbus TCP (host 127.0.0.1 unless given; port 0 picks\n"
    "                        a free one); prints \"tcp HOST:PORT\"\n"
    "  --slave ID            unit id, 1..247 (default 1)\n"
    "  --baud N              line speed (default 9600)\n"
    "  --parity N|E|O        line parity (default N)\n"
    "  --image FILE          serve a fixed register image: JSON object of register to value\n"
    "  --drop-every N        give no reply to every Nth request\n"
    "  --delay-ms MS         delay every reply by MS milliseconds\n"
    "  --exception-at REG[:CODE]  answer requests touching REG with exception CODE\n"
    "                        (default 4); repeatable\n"
    "  --pace                reply no faster than a serial line at --baud\n"
    "  --help                show this text\n";

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
            if (!number(1, 247, o.slave)) return false;
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
            if (!value(o.image_path)) return false;
        } else if (opt == "--drop-every") {
            if (!number(1, 1000000, o.faults.drop_every)) return false;
        } else if (opt == "--delay-ms") {
            if (!number(0, 600000, o.faults.delay_ms)) return false;
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
        } else if (opt == "--pace") {
            o.faults.pace = true;
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
    return true;
}

}  // namespace vedsim

#include "lines/scan.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "common/parse.h"
#include "lines/modbus_frames.h"
#include "lines/serial_port.h"

namespace vedhost {

const char kScanUsage[] =
    "usage: vedhost scan --rtu DEV [--baud 9600,19200] [--parity N,E] [--slaves 1-247]\n"
    "                    [--timeout-ms MS]\n"
    "  --rtu DEV         the serial device; it is held exclusively while it is scanned\n"
    "  --baud LIST       speeds to try, comma-separated (default 9600)\n"
    "  --parity LIST     parities to try, N, E or O, comma-separated (default N)\n"
    "  --slaves A-B      slave ids to ask, 1..247 (default 1-247)\n"
    "  --timeout-ms MS   how long each slave id is waited for (default 100)\n"
    "Each slave id is asked for one register at each speed and parity; what answered\n"
    "is listed with its rated voltage and current, and a \"lines\" member for the\n"
    "--config document ends the output.\n";

namespace {

// The rating registers of the meter: rated voltage primary and secondary,
// rated current primary and secondary.
constexpr int kRatings = 6000;
constexpr int kRatingCount = 4;
constexpr const char* kRatingNames[kRatingCount] = {
    "voltage_primary_rated", "voltage_secondary_rated", "current_primary_rated",
    "current_secondary_rated"};

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
        parts.push_back(text.substr(start, comma - start));
    parts.push_back(text.substr(start));
    return parts;
}

std::uint16_t crc16(const std::uint8_t* data, std::size_t length) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

// One read on the line: the registers, or nothing when no good reply came
// in time. `answered` tells whether any Modbus reply came (an exception
// included).
std::vector<std::uint16_t> ask(int fd, int slave, int address, int count,
                               std::chrono::milliseconds timeout, std::chrono::microseconds gap,
                               bool& answered) {
    answered = false;
    host::ModbusRequest request;
    request.address = address;
    request.count = count;
    std::vector<std::uint8_t> frame = buildRequest(slave, request);
    const std::uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xff));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    std::this_thread::sleep_for(gap);
    tcflush(fd, TCIFLUSH);  // what came late from the previous slave id
    if (::write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return {};
    tcdrain(fd);

    std::vector<std::uint8_t> reply;
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (true) {
        // Unit, function, then a byte count (or an exception code) and CRC.
        std::size_t want = 5;
        if (reply.size() >= 3 && !(reply[1] & 0x80)) want = 5 + std::size_t{reply[2]};
        if (reply.size() >= want) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        std::uint8_t buffer[256];
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, 256 - reply.size()));
        if (n > 0) reply.insert(reply.end(), buffer, buffer + n);
    }
    const std::size_t n = reply.size();
    if (crc16(reply.data(), n - 2) != (reply[n - 2] | reply[n - 1] << 8)) return {};
    const host::ModbusReply checked = checkRtuReply(slave, request, reply.data(), n);
    answered = checked.status != host::ModbusReply::Status::Failed;
    return checked.status == host::ModbusReply::Status::Ok ? checked.words
                                                           : std::vector<std::uint16_t>{};
}

std::string setting(int baud, char parity) {
    return std::to_string(baud) + " baud, parity " + std::string(1, parity);
}

}  // namespace

bool parseScanCommand(const std::vector<std::string>& args, ScanOptions& options,
                      std::string& error) {
    ScanOptions o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        if (opt == "-h" || opt == "--help") {
            o.help = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            error = "scan: " + opt + (opt.rfind("--", 0) == 0 ? " needs a value" : ": unexpected");
            return false;
        }
        const std::string value = args[++i];
        if (opt == "--rtu") {
            o.device = value;
        } else if (opt == "--baud") {
            o.bauds.clear();
            for (const std::string& b : split(value)) {
                long n = 0;
                if (!parseLong(b, 1, 4000000, n)) {
                    error =
                        "scan: --baud: expected speeds such as 9600,19200, got \"" + value + "\"";
                    return false;
                }
                o.bauds.push_back(static_cast<int>(n));
            }
        } else if (opt == "--parity") {
            o.parities.clear();
            for (const std::string& p : split(value)) {
                if (p != "N" && p != "E" && p != "O") {
                    error = "scan: --parity: expected N, E or O, comma-separated, got \"" + value +
                            "\"";
                    return false;
                }
                o.parities.push_back(p[0]);
            }
        } else if (opt == "--slaves") {
            const std::size_t dash = value.find('-');
            long a = 0, b = 0;
            if (!parseLong(value.substr(0, dash), 1, 247, a) ||
                !parseLong(dash == std::string::npos ? value : value.substr(dash + 1), 1, 247, b) ||
                b < a) {
                error = "scan: --slaves: expected A-B within 1-247, got \"" + value + "\"";
                return false;
            }
            o.firstSlave = static_cast<int>(a);
            o.lastSlave = static_cast<int>(b);
        } else if (opt == "--timeout-ms") {
            long n = 0;
            if (!parseLong(value, 1, 60000, n)) {
                error = "scan: --timeout-ms: expected 1..60000, got \"" + value + "\"";
                return false;
            }
            o.timeoutMs = static_cast<int>(n);
        } else {
            error = "scan: unknown option \"" + opt + "\"";
            return false;
        }
    }
    if (!o.help && o.device.empty()) {
        error = "scan: give the serial device with --rtu DEV";
        return false;
    }
    options = std::move(o);
    return true;
}

std::string linesMember(const std::string& device, const std::vector<ScanFind>& found) {
    std::ostringstream out;
    out << "\"lines\": [";
    unsigned dataId = 0;
    bool firstLine = true;
    for (std::size_t i = 0; i < found.size();) {
        const int baud = found[i].baud;
        const char parity = found[i].parity;
        out << (firstLine ? "\n" : ",\n") << "  {\"rtu\": \"" << device << "\", \"baud\": " << baud
            << ", \"parity\": \"" << parity << "\", \"meters\": [";
        firstLine = false;
        bool firstMeter = true;
        for (; i < found.size() && found[i].baud == baud && found[i].parity == parity; ++i) {
            out << (firstMeter ? "" : ", ") << "{\"slave\": " << found[i].slave
                << ", \"data_id\": " << ++dataId << "}";
            firstMeter = false;
        }
        out << "]}";
    }
    out << (found.empty() ? "]\n" : "\n]\n");
    return out.str();
}

int runScan(const ScanOptions& options, std::ostream& out, std::ostream& progress, bool terminal) {
    std::string error;
    const int fd = openSerialExclusive(options.device, error);
    if (fd < 0) {
        progress << "vedhost scan: " << error << std::endl;
        return 2;
    }
    std::vector<ScanFind> found;
    const int total = options.lastSlave - options.firstSlave + 1;
    const auto timeout = std::chrono::milliseconds(options.timeoutMs);
    for (const int baud : options.bauds)
        for (const char parity : options.parities) {
            if (!setSerialLine(fd, baud, parity, 1, error)) {
                progress << "vedhost scan: " << options.device << ": " << error << std::endl;
                continue;
            }
            const auto gap = minimumFrameGap(baud, 8, parity, 1);
            if (!terminal)
                progress << "vedhost scan: " << setting(baud, parity) << ": slaves "
                         << options.firstSlave << "-" << options.lastSlave << std::endl;
            int here = 0;
            for (int slave = options.firstSlave; slave <= options.lastSlave; ++slave) {
                if (terminal) {
                    constexpr int kWidth = 30;
                    const int done = (slave - options.firstSlave) * kWidth / total;
                    progress << "\r" << setting(baud, parity) << " ["
                             << std::string(static_cast<std::size_t>(done), '#')
                             << std::string(static_cast<std::size_t>(kWidth - done), ' ') << "] "
                             << slave << "/" << options.lastSlave << ", " << here << " found"
                             << std::flush;
                }
                bool answered = false;
                ask(fd, slave, kRatings, 1, timeout, gap, answered);
                if (!answered) continue;
                ScanFind f{slave, baud, parity, {}};
                f.ratings = ask(fd, slave, kRatings, kRatingCount, timeout, gap, answered);
                ++here;
                found.push_back(f);
                if (terminal) progress << "\r\033[K" << std::flush;
                out << "slave " << slave << " at " << setting(baud, parity);
                if (f.ratings.size() == kRatingCount) {
                    for (int r = 0; r < kRatingCount; ++r)
                        out << (r == 0 ? ": " : ", ") << kRatingNames[r] << " " << f.ratings[r];
                } else {
                    out << ": no ratings";
                }
                out << std::endl;
            }
            if (terminal) progress << "\r\033[K" << std::flush;
            progress << "vedhost scan: " << setting(baud, parity) << ": " << here
                     << (here == 1 ? " meter" : " meters") << std::endl;
        }
    ::close(fd);
    out << linesMember(options.device, found) << std::flush;
    return found.empty() ? 1 : 0;
}

}  // namespace vedhost

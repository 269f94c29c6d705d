// ved96-sim: a Modbus server that answers like a ved96 three-phase meter,
// over RTU (a serial device or a pseudo-terminal pair it makes itself) or TCP.
//
// Once it serves, it prints one line on stdout telling a script where:
//   "pty /dev/pts/N", "rtu DEVICE" or "tcp HOST:PORT".
// SIGINT and SIGTERM end it cleanly. SIGSTOP makes it a silent meter; after
// SIGCONT it discards the requests that queued up meanwhile, which their
// master has long given up on, and answers fresh ones.
#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dispatch.h"
#include "meter_model.h"
#include "options.h"
#include "rtu_frame.h"

#ifndef VED96_VERSION
#define VED96_VERSION "unknown"
#endif

namespace {

using namespace vedsim;

// The line's character frame besides its parity: 8 data bits, 1 stop bit.
constexpr unsigned kDataBits = 8;
constexpr unsigned kStopBits = 1;

constexpr int kExitConfig = 2;

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_resumed = 0;

extern "C" void on_stop_signal(int) { g_stop = 1; }
extern "C" void on_continue(int) { g_resumed = 1; }

void install_signals() {
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_stop_signal;  // no SA_RESTART: poll() must return
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = on_continue;
    sigaction(SIGCONT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a master that hangs up must not end the meter
}

int fail(const std::string& message) {
    std::cerr << "ved96-sim: " << message << "\n";
    return kExitConfig;
}

// Sleeps in short steps so that SIGINT/SIGTERM still end the process promptly.
void sleep_for(std::chrono::microseconds total) {
    const auto until = std::chrono::steady_clock::now() + total;
    while (!g_stop) {
        const auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
    }
}

// Throws away whatever input is waiting on fd.
void discard_input(int fd, bool serial) {
    if (serial) tcflush(fd, TCIFLUSH);
    uint8_t buf[512];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN) && read(fd, buf, sizeof buf) > 0) {
    }
}

// A pseudo-terminal pair: the simulator serves on the master side, a master
// station opens the slave path. The simulator also holds the slave side open
// itself, so that a master closing its end never leaves the line hung up.
struct Pty {
    int master = -1;
    int held_slave = -1;
    std::string path;
};

speed_t speed_for(unsigned baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B9600;
    }
}

// True when the master side of the pseudo-terminal `fd` has set the line as
// the meter's: its speed and parity. A pty's termios, asked on the master,
// are those the slave side was given.
bool line_matches(int fd, unsigned baud, char parity) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return true;
    const char set = (tio.c_cflag & PARENB) == 0 ? 'N' : (tio.c_cflag & PARODD) ? 'O' : 'E';
    return cfgetospeed(&tio) == speed_for(baud) && set == parity;
}

bool open_pty(Pty& pty, unsigned baud, std::string& error) {
    pty.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
        error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* name = ptsname(pty.master);
    if (name == nullptr) {
        error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    pty.path = name;
    // Raw mode for binary frames; on a pty this sets the line the master opens.
    termios tio{};
    tcgetattr(pty.master, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, speed_for(baud));
    tcsetattr(pty.master, TCSANOW, &tio);
    pty.held_slave = open(name, O_RDWR | O_NOCTTY);
    if (pty.held_slave < 0) {
        error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

int open_listener(const std::string& host, unsigned port, std::string& shown, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        error = "cannot resolve host \"" + host + "\"";
        return -1;
    }
    sockaddr_in addr = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
    freeaddrinfo(found);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, 8) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        error =
            "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    shown = std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
    return fd;
}

// Reads and throws away bytes until the line has been silent for gap_us.
void skip_to_silence(int fd, unsigned gap_us) {
    uint8_t buf[256];
    pollfd p{fd, POLLIN, 0};
    const int gap_ms = static_cast<int>((gap_us + 999) / 1000);
    while (!g_stop && poll(&p, 1, gap_ms) > 0 && read(fd, buf, sizeof buf) > 0) {
    }
}

// Receives one RTU request for a unit `serves` names (or broadcast) from a line whose data
// is ready to read. Returns the frame length with its CRC checked, 0 when the
// frame was for another unit, garbled, or cut off, and -1 on a line error.
// It reads no further than the frame's end, so a request that follows at once
// is left for the next call.
template <typename Serves>
int read_rtu_request(int fd, uint8_t* buf, size_t cap, unsigned baud, const Serves& serves) {
    constexpr int kByteTimeoutMs = 100;  // a frame stalled this long is abandoned
    const unsigned gap_us = frame_gap_us(baud);
    size_t have = 0;
    for (;;) {
        if (have >= 1 && buf[0] != 0 && !serves(buf[0])) {
            skip_to_silence(fd, gap_us);  // another unit's request or reply
            return 0;
        }
        size_t need = request_length(buf, have);
        if (need == kLengthUnknown) {
            // An unknown function: the frame ends with the silence.
            pollfd p{fd, POLLIN, 0};
            while (have < cap && poll(&p, 1, static_cast<int>((gap_us + 999) / 1000)) > 0) {
                const ssize_t r = read(fd, buf + have, cap - have);
                if (r <= 0) break;
                have += static_cast<size_t>(r);
            }
            break;
        }
        if (need == kLengthNeedsMore) need = have + 1;
        if (need > cap) {
            skip_to_silence(fd, gap_us);
            return 0;
        }
        if (have >= need) break;
        if (have > 0) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, kByteTimeoutMs) <= 0) return 0;
        }
        const ssize_t r = read(fd, buf + have, need - have);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
        if (r <= 0) {
            sleep_for(std::chrono::milliseconds(100));  // line gone: do not spin on it
            return -1;
        }
        have += static_cast<size_t>(r);
    }
    if (!crc_ok(buf, have)) {
        skip_to_silence(fd, gap_us);  // resynchronise on the next frame
        return 0;
    }
    return static_cast<int>(have);
}

// The meters a line serves: each unit id with its own register image and
// its own request counter for the injected faults.
struct Unit {
    Unit(unsigned id, MeterModel m, const FaultPlan& plan)
        : slave(id), model(std::move(m)), handler(model, plan) {}
    unsigned slave;
    MeterModel model;
    RequestHandler handler;
};

class Server {
  public:
    Server(modbus_t* ctx, bool rtu, const SimOptions& options,
           std::vector<std::unique_ptr<Unit>>& units)
        : ctx_(ctx),
          rtu_(rtu),
          baud_(options.baud),
          parity_(options.parity),
          strict_line_(options.faults.strict_line),
          char_bits_(character_bits(kDataBits, options.parity, kStopBits)),
          units_(units),
          mapping_(modbus_mapping_new_start_address(0, 0, 0, 0, 0, kRegisterSpan, 0, 0)),
          start_(std::chrono::steady_clock::now()),
          speed_(options.speed) {
        if (!rtu && options.faults.tcp_fault != TcpFault::kNone)
            socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, loop_);
    }
    ~Server() {
        modbus_mapping_free(mapping_);
        for (int end : loop_)
            if (end >= 0) close(end);
    }

    // Receives one request on fd and answers it. Returns false when the
    // connection is gone (TCP) and should be closed.
    bool serve_one(int fd) {
        modbus_set_socket(ctx_, fd);
        uint8_t query[MODBUS_MAX_ADU_LENGTH];
        int rc = 0;
        if (rtu_) {
            rc = read_rtu_request(fd, query, sizeof query, baud_,
                                  [this](unsigned id) { return find(id) != nullptr; });
        } else {
            rc = modbus_receive(ctx_, query);
            if (rc < 0) return false;
        }
        if (rc <= 0) return true;  // nothing for these meters, or a garbled frame
        if (rtu_ && strict_line_ && !line_matches(fd, baud_, parity_)) return true;

        const int header = modbus_get_header_length(ctx_);
        const int trailer = rtu_ ? 2 : 0;  // CRC
        if (rc < header + trailer) return true;
        const unsigned id = query[header - 1];
        const double seconds =
            speed_ *
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const size_t pdu_len = static_cast<size_t>(rc - header - trailer);
        if (rtu_ && id == 0) {
            // A broadcast is applied by every meter on the line and answered by none.
            for (auto& unit : units_) unit->handler.handle(query + header, pdu_len, seconds);
            return true;
        }
        // Over TCP, unit id 0 and 255 address the gateway's (first) meter.
        Unit* unit = !rtu_ && (id == 0 || id == 0xFF) ? units_.front().get() : find(id);
        if (unit == nullptr) return true;

        const Answer answer = unit->handler.handle(query + header, pdu_len, seconds);
        if (answer.kind == Answer::Kind::kSilent) return true;

        const FaultPlan& plan = unit->handler.plan();
        std::chrono::microseconds wait(0);
        if (unit->handler.faults_apply()) wait = std::chrono::milliseconds(plan.delay_ms);
        if (plan.pace)
            wait += paced_reply_delay(pdu_len + 3, answer.reply_pdu_bytes + 3, baud_, char_bits_);
        if (wait.count() > 0) sleep_for(wait);
        if (g_stop) return true;

        // A TCP fault: libmodbus writes its reply into a local socket pair,
        // from where it goes to the master changed.
        const bool mangle = !rtu_ && plan.tcp_fault != TcpFault::kNone && loop_[0] >= 0;
        if (mangle) modbus_set_socket(ctx_, loop_[0]);
        if (answer.kind == Answer::Kind::kException) {
            modbus_reply_exception(ctx_, query, answer.exception);
        } else {
            const std::vector<uint16_t>& regs = unit->model.registers();
            std::copy(regs.begin(), regs.end(), mapping_->tab_registers);
            modbus_reply(ctx_, query, rc, mapping_);
        }
        if (mangle) {
            modbus_set_socket(ctx_, fd);
            uint8_t reply[MODBUS_TCP_MAX_ADU_LENGTH];
            const ssize_t n = recv(loop_[1], reply, sizeof reply, MSG_DONTWAIT);
            if (n <= 0) return true;
            apply_tcp_fault(plan.tcp_fault, reply, static_cast<size_t>(n));
            return send(fd, reply, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
        }
        return true;
    }

    bool ready() const { return mapping_ != nullptr; }

  private:
    Unit* find(unsigned id) const {
        for (const auto& unit : units_)
            if (unit->slave == id) return unit.get();
        return nullptr;
    }

    modbus_t* ctx_;
    bool rtu_;
    unsigned baud_;
    char parity_;
    bool strict_line_;
    unsigned char_bits_;  // of one character on the line, for --pace
    std::vector<std::unique_ptr<Unit>>& units_;
    modbus_mapping_t* mapping_;
    std::chrono::steady_clock::time_point start_;
    double speed_;
    int loop_[2] = {-1, -1};  // socket pair for replies with a TCP fault
};

void serve_line(Server& server, int fd) {
    while (!g_stop) {
        if (g_resumed) {
            g_resumed = 0;
            discard_input(fd, true);
        }
        pollfd p{fd, POLLIN, 0};
        const int n = poll(&p, 1, -1);
        if (n < 0 || g_stop || g_resumed) continue;
        if (p.revents & (POLLIN | POLLERR | POLLHUP)) server.serve_one(fd);
    }
}

void serve_tcp(Server& server, int listener) {
    std::vector<int> clients;
    while (!g_stop) {
        if (g_resumed) {
            g_resumed = 0;
            for (int c : clients) discard_input(c, false);
        }
        std::vector<pollfd> fds{{listener, POLLIN, 0}};
        for (int c : clients) fds.push_back({c, POLLIN, 0});
        const int n = poll(fds.data(), fds.size(), -1);
        if (n < 0 || g_stop || g_resumed) continue;
        if (fds[0].revents & POLLIN) {
            const int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) clients.push_back(c);
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLERR | POLLHUP))) continue;
            if (!server.serve_one(fds[i].fd)) {
                close(fds[i].fd);
                clients.erase(std::find(clients.begin(), clients.end(), fds[i].fd));
            }
        }
    }
    for (int c : clients) close(c);
}

bool read_text(const std::string& path, std::string& text, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
    return true;
}

bool image_model(const std::string& text, const std::string& where, MeterModel& model,
                 std::string& error) {
    std::map<uint16_t, uint16_t> image;
    if (!parse_register_image(text, image, error)) {
        error = where + ": " + error;
        return false;
    }
    model = MeterModel::fixed(image);
    return true;
}

bool load_image(const std::string& path, MeterModel& model, std::string& error) {
    std::string text;
    if (!read_text(path, text, error)) {
        error = "cannot read image " + path;
        return false;
    }
    return image_model(text, "image " + path, model, error);
}

// The meters of the line, from --units or from --slave and --image.
bool make_units(const SimOptions& options, std::vector<std::unique_ptr<Unit>>& units,
                std::string& error) {
    std::vector<UnitSetup> setups;
    if (!options.units_path.empty()) {
        std::string text;
        if (!read_text(options.units_path, text, error)) return false;
        const std::size_t slash = options.units_path.rfind('/');
        const std::string dir =
            slash == std::string::npos ? "" : options.units_path.substr(0, slash);
        if (!parse_units(text, dir, setups, error)) {
            error = "units " + options.units_path + ": " + error;
            return false;
        }
    } else {
        for (std::size_t i = 0; i < options.slaves.size(); ++i) {
            UnitSetup setup;
            setup.slave = options.slaves[i];
            if (!options.image_paths.empty()) {
                setup.source = UnitSetup::Source::kFile;
                setup.image = options.image_paths[options.image_paths.size() == 1 ? 0 : i];
            }
            setups.push_back(setup);
        }
    }
    for (const UnitSetup& setup : setups) {
        MeterModel model = MeterModel::live(static_cast<uint16_t>(options.energy_start));
        const bool ok =
            setup.source == UnitSetup::Source::kFile ? load_image(setup.image, model, error)
            : setup.source == UnitSetup::Source::kInline
                ? image_model(setup.image, "unit " + std::to_string(setup.slave), model, error)
                : true;
        if (!ok) return false;
        units.push_back(std::make_unique<Unit>(setup.slave, std::move(model), options.faults));
    }
    return true;
}

void announce(const std::string& line) {
    std::cout << line << std::endl;  // flushed: a script waits for this line
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::cout << "ved96-sim " VED96_VERSION "\n";
        return 0;
    }
    SimOptions options;
    std::string error;
    if (!parse_options(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::cerr << "ved96-sim: " << error << "\n" << kUsage;
        return kExitConfig;
    }
    if (options.help) {
        std::cout << kUsage;
        return 0;
    }
    std::vector<std::unique_ptr<Unit>> units;
    if (!make_units(options, units, error)) return fail(error);
    install_signals();

    if (options.transport == SimOptions::Transport::kTcp) {
        std::string shown;
        const int listener = open_listener(options.host, options.port, shown, error);
        if (listener < 0) return fail(error);
        modbus_t* ctx = modbus_new_tcp("127.0.0.1", static_cast<int>(options.port));
        if (ctx == nullptr) return fail(std::string("modbus: ") + modbus_strerror(errno));
        {
            Server server(ctx, false, options, units);
            if (!server.ready()) return fail("out of memory");
            announce("tcp " + shown);
            serve_tcp(server, listener);
        }
        close(listener);
        modbus_free(ctx);
        return 0;
    }

    const bool pty_mode = options.transport == SimOptions::Transport::kPty;
    Pty pty;
    if (pty_mode && !open_pty(pty, options.baud, error)) return fail(error);
    const std::string device = pty_mode ? pty.path : options.device;
    modbus_t* ctx = modbus_new_rtu(device.c_str(), static_cast<int>(options.baud), options.parity,
                                   kDataBits, kStopBits);
    if (ctx == nullptr) return fail(std::string("modbus: ") + modbus_strerror(errno));
    modbus_set_slave(ctx, static_cast<int>(units.front()->slave));
    int fd = -1;
    if (pty_mode) {
        fd = pty.master;
        modbus_set_socket(ctx, fd);
    } else {
        if (modbus_connect(ctx) != 0) {
            const std::string why = modbus_strerror(errno);
            modbus_free(ctx);
            return fail("cannot open " + device + ": " + why);
        }
        fd = modbus_get_socket(ctx);
    }
    {
        Server server(ctx, true, options, units);
        if (!server.ready()) return fail("out of memory");
        announce((pty_mode ? "pty " : "rtu ") + device);
        serve_line(server, fd);
    }
    if (pty_mode) {
        close(pty.held_slave);
        close(pty.master);
    } else {
        modbus_close(ctx);
    }
    modbus_free(ctx);
    return 0;
}

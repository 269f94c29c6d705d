// Figures of vedhost's Modbus server (scripts/bench):
//   modbus_server_bench floor
//       a bare libmodbus server answering every polled register from a
//       mapping, the least a Modbus TCP server can do; prints "tcp HOST:PORT"
//       and serves until killed
//   modbus_server_bench load PORT CLIENTS SECONDS [apart]
//       CLIENTS connections reading the ten blocks of unit 1 in turn, flat
//       out, for SECONDS; prints "reads_per_second N p50_us N p99_us N errors N".
//       With "apart" each client comes from an address of its own
//       (127.0.0.2, 127.0.0.3, ...), as clients on other machines do.
#include <arpa/inet.h>
#include <modbus.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kBlocks[][2] = {{0, 72},    {100, 2},    {102, 3},   {500, 8},  {1400, 120},
                              {1520, 78}, {1600, 120}, {1720, 78}, {6000, 8}, {6008, 10}};

int floorServer() {
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", 0);
    modbus_mapping_t* map = modbus_mapping_new(0, 0, 6018, 0);
    if (ctx == nullptr || map == nullptr) return 1;
    for (int r = 0; r < 6018; ++r) map->tab_registers[r] = static_cast<std::uint16_t>(r);
    const int server = modbus_tcp_listen(ctx, 64);
    if (server < 0) return 1;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(server, reinterpret_cast<sockaddr*>(&bound), &length);
    std::printf("tcp 127.0.0.1:%d\n", ntohs(reinterpret_cast<sockaddr_in&>(bound).sin_port));
    std::fflush(stdout);
    // libmodbus' own multi-client example: select over the listening socket
    // and every connection, one request answered at a time.
    fd_set all;
    FD_ZERO(&all);
    FD_SET(server, &all);
    int highest = server;
    std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    while (true) {
        fd_set ready = all;
        if (select(highest + 1, &ready, nullptr, nullptr, nullptr) < 0) return 1;
        for (int fd = 0; fd <= highest; ++fd) {
            if (!FD_ISSET(fd, &ready)) continue;
            if (fd == server) {
                const int client = accept(server, nullptr, nullptr);
                if (client < 0) continue;
                FD_SET(client, &all);
                highest = std::max(highest, client);
                continue;
            }
            modbus_set_socket(ctx, fd);
            const int n = modbus_receive(ctx, query);
            if (n > 0) {
                modbus_reply(ctx, query, n, map);
            } else if (n < 0) {
                close(fd);
                FD_CLR(fd, &all);
            }
        }
    }
}

// A connection to 127.0.0.1:port from 127.0.0.<from>, handed to libmodbus.
bool connectFrom(modbus_t* ctx, int port, int from) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(0x7F000000u | static_cast<unsigned>(from));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return false;
    }
    modbus_set_socket(ctx, fd);
    return true;
}

int load(int port, int clients, double seconds, bool apart) {
    std::atomic<long> reads{0}, errors{0};
    std::mutex mutex;
    std::vector<long> latencies;  // microseconds
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
            modbus_set_slave(ctx, 1);
            const auto open = [&] {
                return apart ? connectFrom(ctx, port, 2 + c) : modbus_connect(ctx) == 0;
            };
            if (!open()) {
                ++errors;
                modbus_free(ctx);
                return;
            }
            std::vector<long> mine;
            std::uint16_t words[125];
            for (int i = c; std::chrono::steady_clock::now() < until; ++i) {
                const auto& b = kBlocks[i % 10];
                const auto start = std::chrono::steady_clock::now();
                if (modbus_read_registers(ctx, b[0], b[1], words) == b[1]) {
                    ++reads;
                    mine.push_back(std::chrono::duration_cast<std::chrono::microseconds>(
                                       std::chrono::steady_clock::now() - start)
                                       .count());
                } else {
                    ++errors;
                    if (errno < MODBUS_ENOBASE) {  // the connection broke
                        modbus_close(ctx);
                        open();
                    }
                }
            }
            modbus_close(ctx);
            modbus_free(ctx);
            std::lock_guard<std::mutex> lock(mutex);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
        });
    for (auto& t : threads) t.join();
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) {
        return latencies.empty()
                   ? 0L
                   : latencies[std::min(latencies.size() - 1,
                                        static_cast<std::size_t>(q * latencies.size()))];
    };
    std::printf("reads_per_second %.0f p50_us %ld p99_us %ld errors %ld\n", reads / seconds,
                at(0.50), at(0.99), errors.load());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "floor") return floorServer();
    if (mode == "load" && (argc == 5 || (argc == 6 && std::string(argv[5]) == "apart")))
        return load(std::atoi(argv[2]), std::atoi(argv[3]), std::atof(argv[4]), argc == 6);
    std::fprintf(stderr, "usage: modbus_server_bench floor | load PORT CLIENTS SECONDS [apart]\n");
    return 2;
}

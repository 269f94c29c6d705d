// vedhost's Modbus TCP server: clients read the meters' registers from the
// latest round's record, with no exchange on the line, and write where the
// configuration allows.
//
// One thread, at a lower priority than the line threads (nice 10), runs one
// poll(2) loop over non-blocking sockets: the listening
// socket, every connection, and an eventfd that wakes it when a write has
// been carried out on a meter's line. Nothing in the loop waits for a line:
// a write is handed to the line's thread through the WriteRunner and its
// reply is sent when the outcome comes back; the connection takes no further
// request meanwhile, so replies keep their order.
//
// What one client can take is bounded: connections in all and per client
// address (a connection over either cap is closed as soon as it is accepted),
// requests per second per client address (a token bucket; a client over it
// is simply read later), the replies waiting for a client that does not read
// them (over 16 KiB its requests are no longer read), and the time a
// connection may stay without a request. A malformed frame closes its own
// connection and nothing else.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "modbus_server/modbus_server_options.h"
#include "modbus_server/server_answers.h"

namespace vedhost {

// Outcomes of writes carried out, waiting for the server's thread.
struct WriteCompletions;

class ModbusServer {
  public:
    using Done = std::function<void(WriteOutcome)>;
    // Carries out an allowed write on the meter's line and calls `done` once
    // with the outcome, from any thread (possibly at once, possibly after the
    // server has stopped).
    using WriteRunner = std::function<void(unsigned dataId, const Request& request, Done done)>;
    // Hears of every write a client asked for, allowed or not, on the
    // server's thread.
    using Audit = std::function<void(const WriteAudit&)>;

    // `meters` must outlive the server.
    ModbusServer(ModbusServerOptions options, const ServedMeters& meters, WriteRunner runner,
                 Audit audit);
    ~ModbusServer();
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    // Listens and starts the thread; false with the reason when the address
    // cannot be listened on.
    bool start(std::string& error);
    // The port listened on (the one picked, for port 0).
    int port() const { return port_; }
    // Closes every connection and ends the thread.
    void stop();

    // What the server has done so far; any thread may ask.
    struct Counts {
        std::atomic<long> requests{0};    // frames answered or handed on
        std::atomic<long> turnedAway{0};  // connections over a cap, closed at once
        std::atomic<long> malformed{0};   // connections closed for a malformed frame
        std::atomic<long> idleClosed{0};  // connections closed for idling
        std::atomic<long> open{0};        // connections open now
    };
    const Counts& counts() const { return counts_; }

  private:
    void run();

    ModbusServerOptions options_;
    const ServedMeters& meters_;
    WriteRunner runner_;
    Audit audit_;
    int listenFd_ = -1;
    int port_ = 0;
    std::shared_ptr<WriteCompletions> completions_;
    std::thread thread_;
    Counts counts_;
};

}  // namespace vedhost

// Where and how vedhost serves its meters' registers over Modbus TCP
// (--modbus-server and the document's "modbus_server" object). Off unless
// configured.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/option_rows.h"
#include "lines/line_options.h"

namespace vedhost {

// Registers of one meter that clients may write: first..last, both included.
struct WritableRange {
    unsigned dataId = 0;
    unsigned first = 0;
    unsigned last = 0;
};

struct ModbusServerOptions {
    // ADDR:PORT; a bare PORT listens on 127.0.0.1. Port 502 needs
    // CAP_NET_BIND_SERVICE, which the service unit does not grant.
    std::string listen = "127.0.0.1:1502";
    // Unit id -> data id. Empty: each meter answers under its slave id.
    std::map<int, unsigned> units;
    // What clients may write; nothing unless listed.
    std::vector<WritableRange> writes;
    // A record older than this is not served (exception 11); unset: three
    // polling intervals.
    std::optional<double> maxAgeSeconds;
    std::size_t connections = 32;          // open client connections at most
    std::size_t connectionsPerClient = 8;  // from one client address at most
    double requestsPerSecond = 200;        // per client address; more wait their turn
    double idleSeconds = 60;               // a connection with no request for this long is closed
};

// The unit ids a host serves: `units` when given, else each meter's slave id.
// `meters` is every polled meter as (data id, slave id). False with the reason
// when `units` names a data id that is not polled, or, without `units`, when
// two meters share a slave id (on two lines) and so cannot both be named.
bool unitRoutes(const std::map<int, unsigned>& units,
                const std::vector<std::pair<unsigned, int>>& meters,
                std::map<int, unsigned>& routes, std::string& error);

// --modbus-server and the --modbus-server-* options, the document's
// "modbus_server" members.
const SettingTable<ModbusServerOptions>& modbusServerOptions();

// The checks that need the lines as well: the data ids `writes` and `units`
// name are polled, and without `units` no two meters share a slave id.
bool checkServedMeters(const ModbusServerOptions& options, const std::vector<LineConfig>& lines,
                       std::string& error);

// "6000-6017" or "6008": registers 0..65535, first <= last.
bool parseRegisterRange(const std::string& text, unsigned& first, unsigned& last);

}  // namespace vedhost

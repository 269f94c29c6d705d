// Numbers and addresses as vedhost reads them from the command line, the
// document and requests: strict, whole, within their range, nothing after.
#pragma once

#include <cstdint>
#include <string>

namespace vedhost {

// A decimal integer min..max (an optional '-' and at most 18 digits),
// nothing else.
bool parseInteger(const std::string& text, std::int64_t min, std::int64_t max,
                  std::int64_t& value);
bool parseLong(const std::string& text, long min, long max, long& value);

// HOST:PORT with a host and a port 1..65535, as a meter or broker is named.
bool parseHostPort(const std::string& text, std::string& host, int& port);

// "ADDR:PORT", "[IPv6]:PORT" or a bare "PORT" (on 127.0.0.1), as a server is
// told where to listen; port 0 picks a free one. False when it is none of
// these.
bool parseListen(const std::string& text, std::string& address, int& port);

}  // namespace vedhost

#include "common/parse.h"

namespace vedhost {

bool parseInteger(const std::string& text, std::int64_t min, std::int64_t max,
                  std::int64_t& value) {
    const bool negative = !text.empty() && text[0] == '-';
    const std::size_t first = negative ? 1 : 0;
    const std::size_t digits = text.size() - first;
    if (digits == 0 || digits > 18 || text.find_first_not_of("0123456789", first) != std::string::npos)
        return false;
    std::int64_t n = 0;
    for (std::size_t i = first; i < text.size(); ++i) n = n * 10 + (text[i] - '0');
    if (negative) n = -n;
    if (n < min || n > max) return false;
    value = n;
    return true;
}

bool parseLong(const std::string& text, long min, long max, long& value) {
    std::int64_t n = 0;
    if (!parseInteger(text, min, max, n)) return false;
    value = static_cast<long>(n);
    return true;
}

bool parseHostPort(const std::string& text, std::string& host, int& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    long n = 0;
    if (!parseLong(text.substr(colon + 1), 1, 65535, n)) return false;
    host = text.substr(0, colon);
    port = static_cast<int>(n);
    return true;
}

bool parseListen(const std::string& text, std::string& address, int& port) {
    std::string host = "127.0.0.1", digits = text;
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        digits = text.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        if (host.empty()) return false;
    }
    // Digits alone: no sign, at most five.
    long n = 0;
    if (digits.size() > 5 || digits.find('-') != std::string::npos ||
        !parseLong(digits, 0, 65535, n))
        return false;
    address = host;
    port = static_cast<int>(n);
    return true;
}

}  // namespace vedhost

#include "service/service_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <iostream>

namespace vedhost {

ServiceNotify::ServiceNotify() {
    std::uint64_t usec = 0;
    // Positive when systemd watches this very process (WATCHDOG_PID, if set,
    // names it), so a child started with the same environment does not ping.
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) interval_ = std::chrono::microseconds(usec);
}

void ServiceNotify::send(const std::string& state) { sd_notify(0, state.c_str()); }

void ServiceNotify::ready(const std::string& status) {
    status_ = status;
    send("READY=1\nSTATUS=" + status);
    if (interval_.count() > 0) {
        send("WATCHDOG=1");
        nextPing_ = std::chrono::steady_clock::now() + interval_ / 2;
    }
}

void ServiceNotify::status(const std::string& status) {
    if (status == status_) return;
    status_ = status;
    send("STATUS=" + status);
}

void ServiceNotify::watchdog(const std::vector<std::string>& stuckLines) {
    if (interval_.count() == 0) return;
    if (!stuckLines.empty()) {
        if (!withheld_) {
            withheld_ = true;
            std::cerr << "vedhost: watchdog: " << stuckLines.front();
            if (stuckLines.size() > 1) std::cerr << " and " << stuckLines.size() - 1 << " more";
            std::cerr << " made no progress for longer than "
                      << std::chrono::duration_cast<std::chrono::milliseconds>(interval_).count()
                      << " ms; systemd is no longer told all is well" << std::endl;
        }
        return;
    }
    if (withheld_) {
        withheld_ = false;
        std::cerr << "vedhost: watchdog: every line makes progress again" << std::endl;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < nextPing_) return;
    send("WATCHDOG=1");
    nextPing_ = now + interval_ / 2;
}

void ServiceNotify::stopping() { send("STOPPING=1\nSTATUS=stopping"); }

std::string answeringStatus(int polled, int answering) {
    return std::to_string(answering) + " of " + std::to_string(polled) +
           (polled == 1 ? " meter" : " meters") + " answering";
}

}  // namespace vedhost

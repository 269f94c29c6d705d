// What vedhost tells systemd when it runs as a service of Type=notify
// (libsystemd's sd_notify over the socket named by NOTIFY_SOCKET):
//   READY=1     once the lines are open and their threads polling
//   STATUS=...  how many meters answer, whenever that changes
//   WATCHDOG=1  every half watchdog interval (WATCHDOG_USEC), but only while
//               every line's thread makes progress: a line stuck for longer
//               than the interval stops the pings, and systemd restarts the
//               host (WatchdogSec=, Restart=)
//   STOPPING=1  when a stop signal came
// Started by anything else (no NOTIFY_SOCKET), it sends nothing.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace vedhost {

class ServiceNotify {
  public:
    ServiceNotify();

    // The interval systemd expects pings within; zero when it does not watch.
    std::chrono::microseconds watchdogInterval() const { return interval_; }

    void ready(const std::string& status);
    // Sent when it differs from the last status sent.
    void status(const std::string& status);
    // Pings when one is due and no line is stuck; says once on stderr when
    // the pings stop for a stuck line and when they go on again.
    void watchdog(const std::vector<std::string>& stuckLines);
    void stopping();

  private:
    void send(const std::string& state);

    std::chrono::microseconds interval_{0};
    std::chrono::steady_clock::time_point nextPing_{};
    std::string status_;
    bool withheld_ = false;  // pings stopped for a stuck line
};

// "3 of 3 meters answering", the service's status line.
std::string answeringStatus(int polled, int answering);

}  // namespace vedhost

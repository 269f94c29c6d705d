#include "service/stop_signals.h"

#include <signal.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace vedhost {
namespace {

// The watcher may still take a signal while the process exits, so its state
// is never destroyed.
struct State {
    std::mutex mutex;
    std::condition_variable changed;
    bool serving = false;
    bool stop = false;
};

State& state() {
    static State* const kState = new State;
    return *kState;
}

sigset_t stopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Ends the process as the signal's default action would, so the parent sees
// it ended by that signal.
[[noreturn]] void dieBy(int sig) {
    signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(sig);
    _exit(128 + sig);
}

void watch() {
    const sigset_t set = stopSet();
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        State& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.serving) dieBy(sig);
        s.stop = true;
        s.changed.notify_all();
    }
}

}  // namespace

void watchStopSignals() {
    const sigset_t set = stopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    state();
    std::thread(watch).detach();
}

void serveStopSignals() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.serving = true;
}

bool stopRequested(std::chrono::milliseconds limit) {
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.changed.wait_for(lock, limit, [&s] { return s.stop; });
}

}  // namespace vedhost

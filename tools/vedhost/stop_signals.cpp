#include "stop_signals.h"

#include <signal.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace vedhost {
namespace {

std::mutex gMutex;
std::condition_variable gChanged;
bool gServing = false;
bool gStop = false;

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
        std::lock_guard<std::mutex> lock(gMutex);
        if (!gServing) dieBy(sig);
        gStop = true;
        gChanged.notify_all();
    }
}

}  // namespace

void watchStopSignals() {
    const sigset_t set = stopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(watch).detach();
}

void serveStopSignals() {
    std::lock_guard<std::mutex> lock(gMutex);
    gServing = true;
}

bool stopRequested(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(gMutex);
    return gChanged.wait_for(lock, limit, [] { return gStop; });
}

}  // namespace vedhost

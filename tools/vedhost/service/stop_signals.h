// SIGINT and SIGTERM for vedhost, honoured from the first instruction on.
//
// Both are blocked in every thread (threads inherit the mask) and taken by one
// watcher thread. Until the host serves, a stop signal ends the process at
// once as the signal's default action does, whatever the host is doing (reading
// a slow or endless file, connecting, loading the plug-in). Once it serves, a
// stop signal is a request the main thread picks up to stop cleanly.
#pragma once

#include <chrono>

namespace vedhost {

// Blocks the stop signals and starts the watcher. Call first thing in main,
// before any other thread exists.
void watchStopSignals();

// From now on a stop signal asks for a clean stop instead of ending the process.
void serveStopSignals();

// Waits up to `limit` for a stop request; true once one has come.
bool stopRequested(std::chrono::milliseconds limit);

}  // namespace vedhost

// The event log: one JSON object per line for every host service call a
// device makes and every Modbus exchange the host carries out for it, and
// each time a meter falls silent or answers again.
//
// Every event has "event" (the service's name, or ModbusRequest, ModbusReply,
// ModbusError, MeterStatus), "data_id" and "time" (local time, milliseconds),
// and its arguments under their own names (MeterStatus: "status", online or
// offline, and "line"). Safe to use from several line threads.
#pragma once

#include <json/value.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "common/json_text.h"
#include "common/local_time.h"

namespace vedhost {

// A new event with its three common members.
Json::Value makeEvent(
    const char* name, unsigned dataId,
    std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

// Bytes as lower-case hexadecimal, for control request inputs.
std::string hexBytes(const void* data, std::size_t length);

// Writes whole lines to stdout ("-") or to a file, flushing each, one writer
// at a time. Used for the event log and the report stream.
class LineSink {
  public:
    LineSink() = default;
    ~LineSink();
    LineSink(const LineSink&) = delete;
    LineSink& operator=(const LineSink&) = delete;

    // Opens the sink; "-" is stdout, anything else a file opened for appending.
    bool open(const std::string& path, std::string& error);
    bool isOpen() const { return out_ != nullptr; }
    void writeLine(const std::string& line);

  private:
    std::mutex mutex_;
    std::FILE* out_ = nullptr;
    bool ownsFile_ = false;
};

// Serialises stdout writes of vedhost (tables, reports, events on "-") with
// each other; the plug-in's own console lines are not under this lock.
std::mutex& stdoutMutex();

// Writes vedhost's own stdout output (tables, reports and events on "-"),
// flushed, under stdoutMutex(). It shares std::cout with the plug-in's lines,
// so both keep their order, unless the plug-in's console goes to a file.
void writeStdout(const std::string& text);

// From now on the plug-in's console lines (whatever it writes to standard
// output) go to `path`, appended, while writeStdout() keeps the original
// standard output. False with a reason when the file cannot be opened.
bool sendPluginConsoleTo(const std::string& path, std::string& error);

}  // namespace vedhost

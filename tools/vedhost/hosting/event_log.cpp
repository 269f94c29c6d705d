#include "hosting/event_log.h"

#include <fcntl.h>
#include <json/writer.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <sstream>

namespace vedhost {

Json::Value makeEvent(const char* name, unsigned dataId,
                      std::chrono::system_clock::time_point when) {
    Json::Value event(Json::objectValue);
    event["event"] = name;
    event["data_id"] = dataId;
    event["time"] = timestamp(when);
    return event;
}

std::string hexBytes(const void* data, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; bytes != nullptr && i < length; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0xF]);
    }
    return out;
}

std::mutex& stdoutMutex() {
    static std::mutex mutex;
    return mutex;
}

namespace {
// The original standard output once the plug-in's console went to a file.
std::FILE* g_ownStdout = nullptr;
}  // namespace

void writeStdout(const std::string& text) {
    std::lock_guard<std::mutex> lock(stdoutMutex());
    if (g_ownStdout != nullptr) {
        std::fputs(text.c_str(), g_ownStdout);
        std::fflush(g_ownStdout);
    } else {
        std::cout << text << std::flush;
    }
}

bool sendPluginConsoleTo(const std::string& path, std::string& error) {
    const int log = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) {
        error = "--plugin-log: cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    std::lock_guard<std::mutex> lock(stdoutMutex());
    std::cout.flush();
    std::fflush(stdout);
    const int saved = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    std::FILE* own = saved < 0 ? nullptr : ::fdopen(saved, "w");
    if (own == nullptr || ::dup2(log, 1) < 0) {
        error = std::string("--plugin-log: ") + std::strerror(errno);
        if (own != nullptr) std::fclose(own);
        ::close(log);
        return false;
    }
    ::close(log);
    g_ownStdout = own;
    return true;
}

LineSink::~LineSink() {
    if (ownsFile_ && out_ != nullptr) std::fclose(out_);
}

bool LineSink::open(const std::string& path, std::string& error) {
    if (path == "-") {
        out_ = stdout;
        ownsFile_ = false;
        return true;
    }
    out_ = std::fopen(path.c_str(), "a");
    if (out_ == nullptr) {
        error = "cannot write " + path;
        return false;
    }
    ownsFile_ = true;
    return true;
}

void LineSink::writeLine(const std::string& line) {
    if (out_ == nullptr) return;
    if (out_ == stdout) {
        writeStdout(line + '\n');
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

}  // namespace vedhost

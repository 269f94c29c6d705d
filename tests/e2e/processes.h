// Real processes for end-to-end tests: start a program with its output in
// files, wait for it with a deadline, signal it; a child still running when
// its handle goes out of scope is killed, so a failing test leaves nothing.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

// The environment's value of `name`, else `fallback`.
inline std::string env(const char* name, const char* fallback = "") {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> readLines(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::istringstream in(readText(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A JSON text the host wrote; a text that does not parse fails the test and
// names its start.
inline Json::Value parseJson(const std::string& text) {
    Json::Value value;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, value)) << text.substr(0, 200);
    return value;
}

inline std::size_t countOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// "2024-03-07T09:05:02.123", the host's local time text (events, the
// history), as milliseconds since 1970, to compare with the test's own clock;
// -1 when it does not read as a time.
inline std::int64_t localTextMs(const std::string& time) {
    std::tm local{};
    double seconds = 0;
    if (std::sscanf(time.c_str(), "%d-%d-%dT%d:%d:%lf", &local.tm_year, &local.tm_mon,
                    &local.tm_mday, &local.tm_hour, &local.tm_min, &seconds) != 6)
        return -1;
    local.tm_year -= 1900;
    local.tm_mon -= 1;
    local.tm_sec = static_cast<int>(seconds);
    local.tm_isdst = -1;
    const std::int64_t whole = static_cast<std::int64_t>(std::mktime(&local));
    return whole * 1000 + std::lround((seconds - local.tm_sec) * 1000);
}

inline std::int64_t nowUnixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Polls `ready` every 20 ms until it holds or `limit` passes.
inline bool eventually(const std::function<bool()>& ready,
                       std::chrono::milliseconds limit = 10000ms) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// A scratch directory, removed with everything in it.
class Scratch {
  public:
    Scratch() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vedhost-e2e-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(path_ / name, std::ios::binary) << text;
        return (path_ / name).string();
    }

  private:
    std::filesystem::path path_;
};

class Child {
  public:
    // Starts argv[0] with stdout and stderr in the given files, in `cwd`;
    // `environment` ("NAME=VALUE") is added to this process's, each
    // replacing a variable of the same name.
    Child(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
          const std::string& cwd, const std::vector<std::string>& environment = {}) {
        std::vector<std::string> envs;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            bool replaced = false;
            for (const auto& mine : environment)
                replaced = replaced ||
                           entry.compare(0, mine.find('=') + 1, mine, 0, mine.find('=') + 1) == 0;
            if (!replaced) envs.push_back(entry);
        }
        envs.insert(envs.end(), environment.begin(), environment.end());
        pid_ = fork();
        if (pid_ == 0) {
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, 1);
            dup2(e, 2);
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
            if (chdir(cwd.c_str()) != 0) _exit(126);
            std::vector<char*> args, vars;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            for (const auto& v : envs) vars.push_back(const_cast<char*>(v.c_str()));
            vars.push_back(nullptr);
            execve(args[0], args.data(), vars.data());
            _exit(127);
        }
    }
    ~Child() {
        if (running()) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool running() {
        if (exited_) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) finish(status);
        return !exited_;
    }
    void signal(int sig) const { kill(pid_, sig); }
    // The exit code, or nullopt when still running at the deadline
    // (128 + signal number when a signal ended it).
    std::optional<int> wait(std::chrono::milliseconds limit = 20000ms) {
        eventually([this] { return !running(); }, limit);
        if (!exited_) return std::nullopt;
        return code_;
    }

  private:
    void finish(int status) {
        exited_ = true;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t pid_ = -1;
    bool exited_ = false;
    int code_ = -1;
};

}  // namespace e2e

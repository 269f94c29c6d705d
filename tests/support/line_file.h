// An event log or report stream for tests: a LineSink on a file of its own,
// removed afterwards, with what was written read back whole.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "hosting/event_log.h"

namespace testlines {

class LineFile {
  public:
    LineFile() {
        char path[] = "/tmp/vedhost-lines-XXXXXX";
        const int fd = mkstemp(path);
        if (fd >= 0) ::close(fd);
        path_ = path;
        std::string error;
        opened_ = fd >= 0 && sink.open(path_, error);
    }
    ~LineFile() { std::remove(path_.c_str()); }
    LineFile(const LineFile&) = delete;
    LineFile& operator=(const LineFile&) = delete;

    bool opened() const { return opened_; }
    std::string text() const {
        std::ifstream in(path_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    vedhost::LineSink sink;

  private:
    std::string path_;
    bool opened_ = false;
};

}  // namespace testlines

// A time zone for one test: TZ set for the life of the object and the one
// before put back after, so tests of local days, weeks and months run in the
// zone they were worked out in, whatever the machine's own.
#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace testzone {

class LocalZone {
  public:
    explicit LocalZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~LocalZone() {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    LocalZone(const LocalZone&) = delete;
    LocalZone& operator=(const LocalZone&) = delete;

  private:
    std::optional<std::string> old_;
};

}  // namespace testzone

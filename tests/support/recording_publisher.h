// A publisher for tests that writes down everything it hears, one line per
// call, into a list it may share with others (to check the order across them).
#pragma once

#include <string>
#include <vector>

#include "hosting/publisher.h"

namespace testpub {

class Recorder : public vedhost::Publisher {
  public:
    explicit Recorder(std::vector<std::string>& heard, std::string name = "",
                      bool needsReport = true)
        : heard_(heard), name_(std::move(name)), needsReport_(needsReport) {}

    std::vector<vedhost::Round> rounds;  // every round heard, whole

    bool needsReport() const override { return needsReport_; }
    void round(const vedhost::Round& r) override {
        rounds.push_back(r);
        note("round " + std::to_string(r.dataId) + (r.replay ? " replay" : "") +
             (r.reportText ? " report" : ""));
    }
    void answering(unsigned dataId, bool answering) override {
        note("answering " + std::to_string(dataId) + (answering ? " yes" : " no"));
    }
    void alarmCheck(unsigned dataId, int level, const std::string& key, const std::string& alarmId,
                    const std::string&, const std::string&, bool active,
                    unsigned short serial) override {
        note("alarm " + std::to_string(dataId) + " " + std::to_string(level) + " " + key + " " +
             alarmId + (active ? " raised " : " cleared ") + std::to_string(serial));
    }
    void analogReport(unsigned dataId, const std::string& key, float value) override {
        note("analog " + std::to_string(dataId) + " " + key + " " +
             std::to_string(static_cast<int>(value)));
    }
    void exchange(unsigned dataId, Exchange outcome) override {
        note("exchange " + std::to_string(dataId) +
             (outcome == Exchange::Answered   ? " answered"
              : outcome == Exchange::TimedOut ? " timed out"
                                              : " failed"));
    }

  private:
    void note(const std::string& line) {
        heard_.push_back(name_.empty() ? line : name_ + ": " + line);
    }
    std::vector<std::string>& heard_;
    std::string name_;
    bool needsReport_;
};

}  // namespace testpub

// The publisher seam: every place a round goes (the history, MQTT, the web
// view, --report, --show) is a Publisher, and the scheduler is the one caller
// of all of them, through one Publishers fan-out, whatever is switched on.
//
// What a publisher hears, for each meter, in this order per turn at the
// plug-in: the alarm checks, analog reports and exchange outcomes the turn
// saw, in the order they happened; whether the meter answers, when that
// changed; then the round, when the device saved its record in the turn.
// Called from the line threads; a publisher must never hold them up (a broker
// that is away does not stop polling).
#pragma once

#include <json/value.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vedhost {

// One completed round of one meter, as every sink hears it.
struct Round {
    unsigned dataId = 0;
    std::string line;  // the line's name, "tcp 127.0.0.1:502"
    int slave = 0;
    std::chrono::system_clock::time_point saved;  // when the device saved its record
    std::vector<unsigned char> record;            // the record bytes the device saved
    // The host's own stored record played back at start (LoadFromCache): a
    // round for what is shown, not a new measurement to keep.
    bool replay = false;
    // The plug-in's report of the round, fetched once and only when some sink
    // needs it; unset when none did or the device gave none.
    std::optional<std::string> reportText;
    Json::Value report;  // reportText parsed; null without one
};

class Publisher {
  public:
    // How one Modbus exchange with a meter ended.
    enum class Exchange { Answered, TimedOut, Failed };

    virtual ~Publisher() = default;

    // Whether this sink needs the plug-in's report with each round. A sink
    // that needs one does not hear rounds without it.
    virtual bool needsReport() const { return true; }
    virtual void round(const Round& round) = 0;

    virtual void answering(unsigned /*dataId*/, bool /*answering*/) {}
    virtual void alarmCheck(unsigned /*dataId*/, int /*level*/, const std::string& /*key*/,
                            const std::string& /*alarmId*/, const std::string& /*valueText*/,
                            const std::string& /*message*/, bool /*active*/,
                            unsigned short /*serial*/) {}
    virtual void analogReport(unsigned /*dataId*/, const std::string& /*key*/, float /*value*/) {}
    // Each request to the meter and how it ended; most publishers need not know.
    virtual void exchange(unsigned /*dataId*/, Exchange /*outcome*/) {}
};

// Every publisher switched on, each hearing everything in the order added.
// Added before polling starts, never while the line threads run.
class Publishers : public Publisher {
  public:
    void add(Publisher* publisher) { publishers_.push_back(publisher); }
    void clear() { publishers_.clear(); }
    bool empty() const { return publishers_.empty(); }

    bool needsReport() const override {
        for (const Publisher* p : publishers_)
            if (p->needsReport()) return true;
        return false;
    }
    void round(const Round& round) override {
        for (Publisher* p : publishers_)
            if (round.reportText || !p->needsReport()) p->round(round);
    }
    void answering(unsigned dataId, bool answering) override {
        for (Publisher* p : publishers_) p->answering(dataId, answering);
    }
    void alarmCheck(unsigned dataId, int level, const std::string& key, const std::string& alarmId,
                    const std::string& valueText, const std::string& message, bool active,
                    unsigned short serial) override {
        for (Publisher* p : publishers_)
            p->alarmCheck(dataId, level, key, alarmId, valueText, message, active, serial);
    }
    void analogReport(unsigned dataId, const std::string& key, float value) override {
        for (Publisher* p : publishers_) p->analogReport(dataId, key, value);
    }
    void exchange(unsigned dataId, Exchange outcome) override {
        for (Publisher* p : publishers_) p->exchange(dataId, outcome);
    }

  private:
    std::vector<Publisher*> publishers_;
};

}  // namespace vedhost

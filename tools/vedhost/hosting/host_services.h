// vedhost's services sink: what the host does with the calls a device makes.
// Each call is written to the event log (when one is open); saved records go
// to the history store (when one is open); every saved record also counts as
// a completed round of that device, which is how the scheduler sees rounds end.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "hosting/event_log.h"
#include "history/history_store.h"
#include "host/seam.h"

namespace vedhost {

// Another place the host's results go, beside the event log and the history:
// an MQTT broker, the web view. It hears of each completed round's report, of
// the meter answering or falling silent, and of the alarm checks and analog
// reports the device passes to the host. Called from the line threads; it
// must never hold them up (a broker that is away does not stop polling).
class Publisher {
  public:
    // How one Modbus exchange with a meter ended.
    enum class Exchange { Answered, TimedOut, Failed };

    virtual ~Publisher() = default;
    virtual void round(unsigned dataId, const Json::Value& report) = 0;
    virtual void answering(unsigned dataId, bool answering) = 0;
    virtual void alarmCheck(unsigned dataId, int level, const std::string& key,
                            const std::string& alarmId, const std::string& valueText,
                            const std::string& message, bool active, unsigned short serial) = 0;
    virtual void analogReport(unsigned dataId, const std::string& key, float value) = 0;
    // Each request to the meter and how it ended; most publishers need not know.
    virtual void exchange(unsigned /*dataId*/, Exchange /*outcome*/) {}
};

class HostServices : public host::Services {
  public:
    HostServices(LineSink* events, HistoryStore* history) : events_(events), history_(history) {}

    bool SendSP(SMDVDevice& device, int type, const unsigned char* data, unsigned int length,
                bool urgent) override;
    bool SaveDeviceHistory(SMDVDevice& device, const unsigned char* data,
                           unsigned int length) override;
    bool CheckThreshold(SMDVDevice& device, const std::string& alarmId,
                        const std::string& signalName, float& value, int flag) override;
    bool CheckThresholdBool(SMDVDevice& device, int level, const std::string& key,
                            const std::string& alarmId, const std::string& valueText,
                            const std::string& message, bool active,
                            unsigned short serial) override;
    bool CheckAOReport(SMDVDevice& device, const std::string& key, float value) override;
    bool DoBatchCheckThreshold(SMDVDevice& device, const std::vector<rule_value>& batch) override;
    int InitSetting(SMDVDevice& device, const Json::Value& settings) override;
    int DeviceIoControl(SMDVDevice& device, int code, const void* in, int inLen, void* out,
                        int outLen, int& outLenRet) override;
    void Reset(SMDVDevice& device) override;

    // While set for a device, what it saves is the host's own stored record
    // played back through LoadFromCache: logged and counted as a round, but
    // not stored again as a new measurement.
    void replayingCache(const SMDVDevice& device, bool replaying);

    // Rounds the device has completed (records it saved) so far.
    long roundsCompleted(const SMDVDevice& device) const;

    // Whether an event log is open: without one, no event is made at all.
    bool logging() const { return events_ != nullptr && events_->isOpen(); }
    // Writes an event, if an event log is open.
    void log(const Json::Value& event);

    // The publishers that hear of rounds, alarms and answering meters, each
    // in the order added. Added before polling starts, dropped after it ends.
    void addPublisher(Publisher* publisher) { publishers_.push_back(publisher); }
    void clearPublishers() { publishers_.clear(); }
    bool publishing() const { return !publishers_.empty(); }
    void roundReport(unsigned dataId, const Json::Value& report);
    void meterAnswering(unsigned dataId, bool answering);
    void exchangeEnded(unsigned dataId, Publisher::Exchange outcome);

  private:
    LineSink* events_;
    HistoryStore* history_;
    std::vector<Publisher*> publishers_;
    mutable std::mutex mutex_;
    std::map<const SMDVDevice*, long> rounds_;
    std::set<const SMDVDevice*> replaying_;
};

}  // namespace vedhost

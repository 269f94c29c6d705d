// vedhost's services sink: what the host does with the calls a device makes.
// Each call is written to the event log as it is made (when one is open),
// and what the publishers hear of (alarm checks, analog reports, exchange
// outcomes, saved records) is gathered per device for the scheduler, which
// hands it on after the turn. The records saved in a turn are how the
// scheduler sees a round end; the history sink stores them from there.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/seam.h"
#include "hosting/event_log.h"
#include "hosting/turn_record.h"

namespace vedhost {

class HostServices : public host::Services {
  public:
    // `keepsHistory`: a history sink stores each record a device saves that
    // is not a replay, as the event log's "stored" says.
    HostServices(LineSink* events, bool keepsHistory)
        : events_(events), keepsHistory_(keepsHistory) {}

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

    // Starts gathering what the device does; `replay` while it plays back
    // the host's stored record through LoadFromCache (logged and heard as a
    // round, not stored again).
    void beginTurn(const SMDVDevice& device, bool replay = false);
    // What the device did since beginTurn (or since its previous turn ended,
    // for calls made between turns); ends the gathering.
    TurnRecord endTurn(const SMDVDevice& device);

    // How an exchange of the device ended, as its line saw it.
    void exchangeEnded(const SMDVDevice& device, Publisher::Exchange outcome);

    // Whether an event log is open: without one, no event is made at all.
    bool logging() const { return events_ != nullptr && events_->isOpen(); }
    // Writes an event, if an event log is open.
    void log(const Json::Value& event);

  private:
    struct Gathering {
        bool replay = false;
        TurnRecord record;
    };
    void gather(const SMDVDevice& device, Seen seen);

    LineSink* events_;
    bool keepsHistory_;
    std::mutex mutex_;
    std::map<const SMDVDevice*, Gathering> turns_;
};

}  // namespace vedhost

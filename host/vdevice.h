// The host's device interface and its virtual-device base.
//
// Binary contract: the order in which the virtual operations are declared
// below, together with those of SMDSPDevice, SPModbus and the device template,
// is the order of the device's virtual table that the host calls through.
// Never insert, remove or reorder a virtual operation.
#pragma once

#include <json/value.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/api.h"

class SMDController;
class SMDVDevice;

namespace host {
class Services;
}

// One rule evaluation the host queues for a round's batch check.
struct HOST_API rule_value {
    std::string ruleId;
    std::string signalId;
    float value = 0;
    int level = 0;
    bool active = false;
};

// Interface every device offers the host.
class HOST_API VDeviceInterface {
  public:
    VDeviceInterface();

    // Looks up one value by number and name. The default has no values and
    // throws std::out_of_range("数据未就绪").
    virtual float Get_Value(unsigned int index, const std::string& name) const;
    // Restores the device from a cached record image held in a string.
    virtual bool LoadFromCache(const std::string& image) {
        return LoadFromCache(reinterpret_cast<const unsigned char*>(image.data()),
                             static_cast<int>(image.size()));
    }
    // Restores the device from a cached record image; true when accepted.
    // The default accepts nothing.
    virtual bool LoadFromCache(const unsigned char* data, int length);
    virtual unsigned int DataId() const { return dataId_; }
    virtual const std::string& DeviceType() const { return deviceType_; }
    // Control request. Returns 0 on success, -1 on failure; outLenRet tells
    // how many bytes of out were written (or are needed).
    virtual int DeviceIoControl(int code, const void* in, int inLen, void* out, int outLen,
                                int& outLenRet);
    // End of an acquisition round.
    virtual void RoundDone() {}
    virtual bool UseControllerDb() { return useControllerDb_; }
    virtual ~VDeviceInterface();

    // Host-owned state.
    std::uint32_t dataId_ = 0;
    std::string deviceType_;
    bool useControllerDb_ = false;
};

// A virtual device: the host's live data, history, alarm and analog-report
// services, and the per-device state those services keep.
class HOST_API SMDVDevice : public VDeviceInterface {
  public:
    // Per-signal analog report setting, filled by the host.
    struct BAOSetting {
        bool absEnable = false;
        float absDelta = 0;
        bool pctEnable = false;
        float pctDelta = 0;
        bool periodEnable = false;
        float periodMinutes = 0;
        std::uint32_t lastReportTime = 0;  // seconds since the epoch; 0 = never reported
        float lastValue = 0;
    };

    SMDVDevice();
    ~SMDVDevice() override;

    // The host's own control handler: devices pass on the codes they do not
    // handle themselves.
    int DeviceIoControl(int code, const void* in, int inLen, void* out, int outLen,
                        int& outLenRet) override;

    // Ends the current exchange with the device. The virtual-device default
    // does nothing.
    virtual void Reset() {}
    virtual bool InitV(SMDVDevice* parent, unsigned int dataId, const Json::Value& settings);
    virtual bool Init(std::weak_ptr<SMDController> controller, unsigned int dataId,
                      const Json::Value& settings);
    // Reads the device's settings document. Returns 0 when accepted.
    virtual int InitSetting(const Json::Value& settings);
    virtual bool IsSupportDevice(const std::string& type) const;
    virtual std::shared_ptr<SMDVDevice> GetChildVDevice(unsigned int) { return nullptr; }
    virtual std::vector<std::shared_ptr<SMDVDevice>> GetAllChildVDevices() { return {}; }
    // Hands a record to the host's live data.
    virtual bool SendSP(int type, const unsigned char* data, unsigned int length, bool urgent);
    virtual int SendDelayData(int delay);
    virtual int SendDoData(int channel, char value);
    virtual int ReadDi(int channel);
    virtual float ReadAi(int channel);
    virtual float Get_SP_Value(unsigned int index, const std::string& name);

    // Host services, not overridable.
    bool SaveDeviceHistory(const unsigned char* data, unsigned int length);
    bool CheckThreshold(const std::string& alarmId, const std::string& signalName, float& value,
                        int flag);
    bool CheckThresholdBool(int level, const std::string& key, const std::string& alarmId,
                            const std::string& valueText, const std::string& message, bool active,
                            unsigned short serial);
    bool CheckAOReport(const std::string& key, float value);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& batch);

    // The services sink this device reports to; defaults to the process-wide one.
    host::Services& services() const;
    void setServices(host::Services* services) { services_ = services; }

    // Host-owned state.
    SMDVDevice* parent_ = nullptr;
    bool dataReady_ = false;
    boost::posix_time::ptime roundTime_;  // not-a-date-time until the first round
    std::uint16_t alarmSerial_ = 0;
    std::vector<rule_value> ruleBatch_;
    bool roundAlarmFlag_ = false;
    std::map<std::string, BAOSetting> aoSettingMap_;
    std::map<std::string, int> levelMap_;    // alarm level per signal key
    std::map<std::string, float> valueMap_;  // last value per signal key

  private:
    host::Services* services_ = nullptr;
};

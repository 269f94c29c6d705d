// UniDataDevice: a device that keeps all it reads in one data record.
//
// Template parameters: the record type (held whole; its size is the image
// length for live data, history and cache), the host base class the device
// derives from, and the record type code handed to SendSP with every round.
//
// The template owns the record, the configuration tables of the three
// configuration schemes (1 file, 3 alarm identification, 5 thresholds), the
// JSON report and its lock, and implements setting loading, cache loading and
// round completion. The model class supplies polling, the report and the
// meter's own alarm checks.
#pragma once

#include <json/value.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>

// (alarm id, threshold, recovery value, alarm active, alarm level)
using ThresholdEntry = std::tuple<std::string, float, float, bool, int>;
using ThresholdMap = std::map<std::string, ThresholdEntry>;
// report key -> (signal id, signal name)
using AiSignalMap = std::map<std::string, std::pair<std::string, std::string>>;

template <typename Data, typename Base, int TypeCode>
class UniDataDevice : public Base {
  public:
    using tab_type = typename Base::tab_type;

    UniDataDevice() { std::memset(&data_, 0, sizeof data_); }
    ~UniDataDevice() override = default;

    UniDataDevice(const UniDataDevice&) = delete;
    UniDataDevice& operator=(const UniDataDevice&) = delete;

    // The string form of LoadFromCache stays the host's.
    using Base::LoadFromCache;
    bool LoadFromCache(const unsigned char* data, int length) override;
    void RoundDone() override;
    int InitSetting(const Json::Value& settings) override;
    int process_payload(tab_type tab, unsigned int length) override = 0;

    // The model's own alarm checks, run at every round end; none here.
    virtual void RunCheckThreshold() {}
    // Rebuilds the JSON report for a new round; no report here.
    virtual void GenJsonData() {}

    // Evaluates one threshold map against the report, with hysteresis, and
    // reports every entry through CheckThresholdBool. Caller holds jsonMutex_.
    void CheckSignalThresholdMap(ThresholdMap& map, bool upper);
    // Reports an analog value to the host when it changed enough or its period
    // ran out; true when it reported. Caller holds jsonMutex_.
    bool CheckAOReport(const std::string& fallbackKey, const std::string& key, float value);

    static constexpr int kRecordSize = static_cast<int>(sizeof(Data));
    static constexpr int kRecordType = TypeCode;

    // Device state, in the order the device lays it out.
    Data data_;
    int b_mode_ = 1;
    std::map<std::string, std::string> mobileAlarmIdMap_;
    std::map<std::string, std::string> mobileSignalNameMap_;
    std::map<std::string, std::string> alarmSignalIdMap_;
    ThresholdMap upThresholdMap_;
    ThresholdMap up2ThresholdMap_;
    ThresholdMap lowThresholdMap_;
    ThresholdMap low2ThresholdMap_;
    boost::posix_time::ptime reportTime_;  // round the report was built for
    std::mutex jsonMutex_;
    Json::Value jsonData_;
    AiSignalMap aiSignalMap_;
    // Seconds since the epoch, read for the round time, value lookup and the
    // analog report period: the C library's clock unless a test sets its own.
    std::time_t (*timeSource_)() = [] { return std::time(nullptr); };

  protected:
    const unsigned char* recordBytes() const {
        return reinterpret_cast<const unsigned char*>(&data_);
    }
};

#include "unidata/round_completion.h"
#include "unidata/setting_loading.h"

// The ved96 three-phase multifunction power meter.
#pragma once

#include <string>

#include "host/spmodbus.h"
#include "unidata/unidata_device.h"
#include "ved96/record.h"

// Record type code of the ved96 record in the host's live data.
constexpr int kVed96RecordType = 5156;

using Ved96Base = UniDataDevice<ved96_Data_t, SPModbus, kVed96RecordType>;

// One meter on one serial line. Made by ved96Provider::create(); the host owns
// it and deletes it through the virtual destructor.
class ved96 : public Ved96Base {
  public:
    ved96();
    ~ved96() override;

    // Always throws std::out_of_range telling why no single value is served:
    // "数据未就绪", "数据已超时" or "不支持变量".
    float Get_Value(unsigned int index, const std::string& name) const override;
    // Codes 206/210 write registers, 310/320 pass JSON commands on, 801/803
    // hand out the report; any other code reads the last write outcome and
    // goes to the host's handler.
    int DeviceIoControl(int code, const void* in, int inLen, void* out, int outLen,
                        int& outLenRet) override;
    // Stores the data id in the record, then loads the settings.
    int InitSetting(const Json::Value& settings) override;
    // Starts a polling round at the first register block; returns 1.
    int RefreshStatus() override;
    // Stores one reply and requests the next block, or evaluates a write
    // reply. Returns 0 when an exchange is complete, 1 otherwise.
    int process_payload(tab_type tab, unsigned int length) override;
    // Forwards the meter's six voltage alarm bits mapped to signal ids.
    void RunCheckThreshold() override;
    // Builds the JSON report once per completed round.
    void GenJsonData() override;

    // Outcome of the last control write: -1 pending, 1 acknowledged, 3 refused.
    int writeResult_ = -1;
    // What the write reply must echo: the value written, or the count written.
    int writeExpected_ = -1;

  private:
    static constexpr int kWriteRefused = 3;
    // Refuses a write request that cannot go out: the outcome becomes 3; -1.
    int refuseWrite();
};

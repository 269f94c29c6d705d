// The stand-in host's two seams.
//
// Transport: how the host's Modbus exchanges reach a meter. Tests plug in a
// fake meter; vedhost plugs in libmodbus on a serial line or TCP.
//
// Services: where the host's services (live data, history, alarm checks,
// analog reports, the host's own settings and control handler, Reset) go.
// Tests plug in a recorder; vedhost plugs in its event log and SQLite history.
//
// Both are set process-wide (setDefaultTransport, setDefaultServices) and may
// be overridden per device (SPModbus::setTransport, SMDVDevice::setServices).
// Neither is owned by the host: the caller keeps them alive while devices use
// them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/spmodbus.h"

namespace host {

struct ModbusReply {
    enum class Status {
        Ok,         // words holds what the host puts in the response buffer
        Exception,  // the meter answered with a Modbus exception
        Failed,     // no usable answer: time-out, CRC error, lost connection
    };
    Status status = Status::Failed;
    // For a read, the registers read. For a write, what the host places in
    // the response buffer: the value written (function 6), or 16 and the
    // count written (function 16); writeEcho() builds it from the request.
    std::vector<std::uint16_t> words;
    int exceptionCode = 0;
    std::string error;  // human-readable reason for Exception and Failed
};

// The response-buffer words of a good reply to a write request.
HOST_API std::vector<std::uint16_t> writeEcho(const ModbusRequest& request);

class HOST_API Transport {
  public:
    virtual ~Transport();
    // Opens the device's line if needed; true when it is open.
    virtual bool open(SPModbus& device) = 0;
    // Carries out one exchange.
    virtual ModbusReply exchange(SPModbus& device, const ModbusRequest& request) = 0;
};

// Every service has a do-nothing default, so a sink overrides only what it
// watches. Each call names the device it comes from.
class HOST_API Services {
  public:
    virtual ~Services();
    virtual bool SendSP(SMDVDevice& device, int type, const unsigned char* data,
                        unsigned int length, bool urgent);
    virtual bool SaveDeviceHistory(SMDVDevice& device, const unsigned char* data,
                                   unsigned int length);
    virtual bool CheckThreshold(SMDVDevice& device, const std::string& alarmId,
                                const std::string& signalName, float& value, int flag);
    virtual bool CheckThresholdBool(SMDVDevice& device, int level, const std::string& key,
                                    const std::string& alarmId, const std::string& valueText,
                                    const std::string& message, bool active, unsigned short serial);
    virtual bool CheckAOReport(SMDVDevice& device, const std::string& key, float value);
    virtual bool DoBatchCheckThreshold(SMDVDevice& device, const std::vector<rule_value>& batch);
    // The host's own reading of a device's settings document; 0 when accepted.
    virtual int InitSetting(SMDVDevice& device, const Json::Value& settings);
    // The host's handler for control codes a device passes on.
    virtual int DeviceIoControl(SMDVDevice& device, int code, const void* in, int inLen, void* out,
                                int outLen, int& outLenRet);
    virtual void Reset(SMDVDevice& device);
};

// Process-wide defaults; null restores the built-in one (no meter: every
// exchange fails; services do nothing).
HOST_API void setDefaultTransport(Transport* transport);
HOST_API void setDefaultServices(Services* services);

// The host's loop for one device: carries out queued requests one after the
// other, handing each reply to process_payload and each failure to on_error,
// until no request is left. Returns the number of exchanges carried out.
//
// A write the meter refuses with an exception is delivered to process_payload
// as a reply that cannot match the request (the complement of the value for
// function 6; the exception function code 0x90 and the exception code for
// function 16), so that the device records the write as refused. A read
// answered with an exception or with another number of registers than it
// asked for, and any failed exchange, goes to on_error.
HOST_API int pump(SPModbus& device);

}  // namespace host

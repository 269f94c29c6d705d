// A recording host for tests: a fake meter behind the transport seam and a
// recorder behind the services seam.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/seam.h"

namespace fake {

// Float text as the tests write it: 9 significant digits, like the alarm texts.
inline std::string num(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

// A meter answering from a register image. Every request is recorded.
class Meter : public host::Transport {
  public:
    std::map<int, std::uint16_t> registers;  // registers not listed read 0
    std::set<int> refused;                   // registers answered with exception 2
    int silentExchanges = 0;                 // this many exchanges fail first
    int opens = 0;
    std::vector<host::ModbusRequest> requests;

    bool open(SPModbus&) override {
        ++opens;
        return true;
    }

    host::ModbusReply exchange(SPModbus&, const host::ModbusRequest& request) override {
        requests.push_back(request);
        host::ModbusReply reply;
        if (silentExchanges > 0) {
            --silentExchanges;
            reply.error = "timed out";
            return reply;
        }
        for (int r = request.address; r < request.address + request.count; ++r) {
            if (refused.count(r)) {
                reply.status = host::ModbusReply::Status::Exception;
                reply.exceptionCode = 2;
                reply.error = "illegal data address";
                return reply;
            }
        }
        reply.status = host::ModbusReply::Status::Ok;
        if (request.function == host::ModbusRequest::ReadHolding) {
            for (int r = request.address; r < request.address + request.count; ++r)
                reply.words.push_back(registers.count(r) ? registers.at(r) : 0);
        } else {
            for (int i = 0; i < request.count; ++i)
                registers[request.address + i] = request.values.at(i);
            reply.words = host::writeEcho(request);
        }
        return reply;
    }

    // "start,count" of each read, in order.
    std::vector<std::string> reads() const {
        std::vector<std::string> out;
        for (const auto& r : requests)
            if (r.function == host::ModbusRequest::ReadHolding)
                out.push_back(std::to_string(r.address) + "," + std::to_string(r.count));
        return out;
    }
};

// Records every host service call as one line of text, in call order.
class Recorder : public host::Services {
  public:
    std::vector<std::string> calls;
    std::vector<std::vector<unsigned char>> sent;   // SendSP images
    std::vector<std::vector<unsigned char>> saved;  // SaveDeviceHistory images
    int initSettingResult = 0;
    int ioControlResult = 0;
    bool batchResult = false;

    bool SendSP(SMDVDevice&, int type, const unsigned char* data, unsigned int length,
                bool urgent) override {
        sent.emplace_back(data, data + length);
        calls.push_back("SendSP(" + std::to_string(type) + "," + std::to_string(length) + "," +
                        (urgent ? "true" : "false") + ")");
        return true;
    }
    bool SaveDeviceHistory(SMDVDevice&, const unsigned char* data, unsigned int length) override {
        saved.emplace_back(data, data + length);
        calls.push_back("SaveDeviceHistory(" + std::to_string(length) + ")");
        return true;
    }
    bool CheckThreshold(SMDVDevice&, const std::string& alarmId, const std::string& signalName,
                        float& value, int flag) override {
        calls.push_back("CheckThreshold(" + alarmId + "," + signalName + "," + num(value) + "," +
                        std::to_string(flag) + ")");
        return false;
    }
    bool CheckThresholdBool(SMDVDevice&, int level, const std::string& key,
                            const std::string& alarmId, const std::string& valueText,
                            const std::string& message, bool active,
                            unsigned short serial) override {
        calls.push_back("CheckThresholdBool(" + std::to_string(level) + "," + key + "," + alarmId +
                        "," + valueText + "," + message + "," + (active ? "true" : "false") + "," +
                        std::to_string(serial) + ")");
        return false;
    }
    bool CheckAOReport(SMDVDevice&, const std::string& key, float value) override {
        calls.push_back("CheckAOReport(" + key + "," + num(value) + ")");
        return true;
    }
    bool DoBatchCheckThreshold(SMDVDevice&, const std::vector<rule_value>& batch) override {
        calls.push_back("DoBatchCheckThreshold(" + std::to_string(batch.size()) + ")");
        return batchResult;
    }
    int InitSetting(SMDVDevice&, const Json::Value&) override {
        calls.push_back("InitSetting");
        return initSettingResult;
    }
    int DeviceIoControl(SMDVDevice&, int code, const void*, int inLen, void*, int outLen,
                        int&) override {
        calls.push_back("DeviceIoControl(" + std::to_string(code) + "," + std::to_string(inLen) +
                        "," + std::to_string(outLen) + ")");
        return ioControlResult;
    }
    void Reset(SMDVDevice&) override { calls.push_back("Reset"); }

    // The calls whose text starts with prefix.
    std::vector<std::string> only(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& c : calls)
            if (c.rfind(prefix, 0) == 0) out.push_back(c);
        return out;
    }
};

// What InitSetting printed and how it ended: its result, or the message of
// the exception that left it ("" when none did).
struct SettingsRun {
    std::string console;
    std::string error;
    int result = -1;
};

template <typename Device>
SettingsRun initSetting(Device& device, const Json::Value& settings) {
    SettingsRun run;
    testing::internal::CaptureStdout();
    try {
        run.result = device.InitSetting(settings);
    } catch (const std::exception& e) {
        run.error = e.what();
    }
    run.console = testing::internal::GetCapturedStdout();
    return run;
}

// Plugs a fake meter and a recorder in as the process defaults for the
// lifetime of a test.
struct Host {
    Meter meter;
    Recorder services;
    Host() {
        host::setDefaultTransport(&meter);
        host::setDefaultServices(&services);
    }
    ~Host() {
        host::setDefaultTransport(nullptr);
        host::setDefaultServices(nullptr);
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
};

}  // namespace fake

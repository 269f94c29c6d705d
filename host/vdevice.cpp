#include "host/vdevice.h"

#include "host/seam.h"

VDeviceInterface::VDeviceInterface() = default;
VDeviceInterface::~VDeviceInterface() = default;

float VDeviceInterface::Get_Value(unsigned int, const std::string&) const {
    throw std::out_of_range("数据未就绪");
}

bool VDeviceInterface::LoadFromCache(const unsigned char*, int) { return false; }

int VDeviceInterface::DeviceIoControl(int, const void*, int, void*, int, int& outLenRet) {
    outLenRet = 0;
    return -1;
}

SMDVDevice::SMDVDevice() = default;
SMDVDevice::~SMDVDevice() = default;

int SMDVDevice::DeviceIoControl(int code, const void* in, int inLen, void* out, int outLen,
                                int& outLenRet) {
    return services().DeviceIoControl(*this, code, in, inLen, out, outLen, outLenRet);
}

bool SMDVDevice::InitV(SMDVDevice* parent, unsigned int dataId, const Json::Value&) {
    parent_ = parent;
    dataId_ = dataId;
    return true;
}

bool SMDVDevice::Init(std::weak_ptr<SMDController>, unsigned int dataId, const Json::Value&) {
    dataId_ = dataId;
    return true;
}

int SMDVDevice::InitSetting(const Json::Value& settings) {
    return services().InitSetting(*this, settings);
}

bool SMDVDevice::IsSupportDevice(const std::string& type) const { return type == deviceType_; }

bool SMDVDevice::SendSP(int type, const unsigned char* data, unsigned int length, bool urgent) {
    return services().SendSP(*this, type, data, length, urgent);
}

int SMDVDevice::SendDelayData(int) { return 0; }
int SMDVDevice::SendDoData(int, char) { return -1; }
int SMDVDevice::ReadDi(int) { return -1; }
float SMDVDevice::ReadAi(int) { return 0; }
float SMDVDevice::Get_SP_Value(unsigned int index, const std::string& name) {
    return Get_Value(index, name);
}

bool SMDVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length) {
    return services().SaveDeviceHistory(*this, data, length);
}

bool SMDVDevice::CheckThreshold(const std::string& alarmId, const std::string& signalName,
                                float& value, int flag) {
    return services().CheckThreshold(*this, alarmId, signalName, value, flag);
}

bool SMDVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& alarmId,
                                    const std::string& valueText, const std::string& message,
                                    bool active, unsigned short serial) {
    return services().CheckThresholdBool(*this, level, key, alarmId, valueText, message, active,
                                         serial);
}

bool SMDVDevice::CheckAOReport(const std::string& key, float value) {
    return services().CheckAOReport(*this, key, value);
}

bool SMDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& batch) {
    return services().DoBatchCheckThreshold(*this, batch);
}

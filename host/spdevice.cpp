#include "host/spdevice.h"

#include "host/seam.h"

SMDSPDevice::SMDSPDevice() = default;
SMDSPDevice::~SMDSPDevice() = default;

void SMDSPDevice::Reset() {
    processing_ = false;
    services().Reset(*this);
}

bool SMDSPDevice::Init(std::weak_ptr<SMDController> controller, unsigned int dataId,
                       const Json::Value& settings) {
    controller_ = std::move(controller);
    return SMDVDevice::Init(controller_, dataId, settings);
}

int SMDSPDevice::RefreshStatus() {
    processing_ = true;
    return 0;
}

int SMDSPDevice::process(unsigned char*, unsigned int) { return 0; }
bool SMDSPDevice::IsProcessing() { return processing_; }
bool SMDSPDevice::IsStalled() { return false; }
int SMDSPDevice::SendData(const unsigned char*, unsigned int) { return -1; }
int SMDSPDevice::SendParityData(const unsigned char*, unsigned int, EnumParity) { return -1; }

void SMDSPDevice::ClosePort() { portOpen_ = false; }

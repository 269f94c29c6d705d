// Device providers: how a plug-in hands the host its device factories.
#pragma once

#include "host/api.h"

class SMDVDevice;

// Root of every provider a plug-in returns from get_providers().
class HOST_API Provider {
  public:
    virtual ~Provider();
};

// A provider of serial-port devices. create() returns a new device that the
// caller owns and deletes through the device's virtual destructor.
class HOST_API SMDSPDeviceProvider : public Provider {
  public:
    ~SMDSPDeviceProvider() override;
    virtual SMDVDevice* create() const = 0;
};

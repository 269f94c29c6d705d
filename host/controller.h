// The controller a serial-port device belongs to.
#pragma once

#include <string>

#include "host/api.h"

// The host's controller object: owns the lines and the device list. Devices
// only keep a weak reference to it, handed over by SMDSPDevice::Init.
class HOST_API SMDController {
  public:
    explicit SMDController(std::string name = "controller");
    virtual ~SMDController();

    const std::string& Name() const { return name_; }

  private:
    std::string name_;
};

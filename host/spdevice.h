// The host's serial-port device base.
#pragma once

#include <memory>

#include "host/vdevice.h"

class SMDController;

enum EnumParity { PARITY_NONE = 0, PARITY_ODD = 1, PARITY_EVEN = 2 };

// A device on a serial line (or a network endpoint standing in for one). The
// host owns the port; the device asks for it to be opened and sends frames.
class HOST_API SMDSPDevice : public SMDVDevice {
  public:
    SMDSPDevice();
    ~SMDSPDevice() override;

    void Reset() override;
    bool Init(std::weak_ptr<SMDController> controller, unsigned int dataId,
              const Json::Value& settings) override;

    // Starts an acquisition round. The host's own part only marks the device
    // busy; devices override it to send their first request.
    virtual int RefreshStatus();
    // Handles a raw frame received on the line.
    virtual int process(unsigned char* data, unsigned int length);
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual int SendData(const unsigned char* data, unsigned int length);
    virtual int SendParityData(const unsigned char* data, unsigned int length, EnumParity parity);
    // Makes sure the line is open before a request; true when it is.
    virtual bool OpenPort();
    virtual void ClosePort();

    // Host-owned state.
    std::weak_ptr<SMDController> controller_;
    int baudRate_ = 9600;
    EnumParity parity_ = PARITY_NONE;
    bool processing_ = false;
    bool portOpen_ = false;
};

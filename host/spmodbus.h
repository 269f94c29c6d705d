// The host's Modbus master device base.
//
// A device asks for one exchange at a time (modbus_read_registers,
// modbus_write_register, modbus_write_registers). The request is queued; the
// host's loop (host::pump) carries it out through the device's transport and
// then hands the reply to process_payload, with the reply's registers in
// respBuf_, or reports a failed exchange to on_error. A request made from
// inside process_payload is therefore carried out by the loop after
// process_payload has returned, never from within it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <vector>

#include "host/spdevice.h"

namespace host {
class Transport;

// One Modbus exchange as the device asked for it.
struct ModbusRequest {
    enum Function : int { ReadHolding = 3, WriteSingle = 6, WriteMultiple = 16 };
    Function function = ReadHolding;
    int address = 0;
    int count = 0;                      // registers to read or write
    std::vector<std::uint16_t> values;  // values to write
};
}  // namespace host

class HOST_API SPModbus : public SMDSPDevice {
  public:
    using tab_type = int;

    // Largest reply the response buffer holds, in registers (a Modbus read
    // returns at most 125).
    static constexpr int kResponseWords = 256;

    SPModbus();
    ~SPModbus() override;

    int InitSetting(const Json::Value& settings) override;
    int process(unsigned char* data, unsigned int length) override;

    // Called by the host with each reply; respBuf_ holds the reply's words.
    // Returns 0 when the exchange is complete, 1 otherwise.
    virtual int process_payload(tab_type tab, unsigned int length) = 0;
    // Called by the host when an exchange failed.
    virtual int on_error() {
        std::puts("SPModbus get error");
        return 0;
    }

    // Requests; each replaces any request not yet carried out.
    int modbus_read_registers(int start, int count);
    int modbus_write_register(int address, int value);
    int modbus_write_registers(int start, int count, const unsigned short* values);

    // The transport carrying this device's exchanges; defaults to the
    // process-wide one.
    host::Transport& transport() const;
    void setTransport(host::Transport* transport) { transport_ = transport; }

    // Takes the queued request, if any (used by the host's loop).
    std::optional<host::ModbusRequest> takeRequest();
    bool hasRequest() const;

    // Host-owned state.
    tab_type curTab_ = 0;  // poll stage: which reply is awaited
    bool isSPModbus_ = false;
    int slaveId_ = 1;
    std::uint16_t respBuf_[kResponseWords] = {};

  private:
    void queue(host::ModbusRequest request);

    host::Transport* transport_ = nullptr;
    mutable std::mutex requestMutex_;
    std::optional<host::ModbusRequest> request_;
};

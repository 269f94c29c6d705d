#include "host/spmodbus.h"


#include "host/seam.h"

SPModbus::SPModbus() = default;
SPModbus::~SPModbus() = default;

// OpenPort belongs to the serial device but needs the Modbus transport that
// SPModbus carries, so the host implements it here for Modbus devices.
bool SMDSPDevice::OpenPort() {
    auto* modbus = dynamic_cast<SPModbus*>(this);
    portOpen_ = modbus != nullptr && modbus->transport().open(*modbus);
    return portOpen_;
}

int SPModbus::InitSetting(const Json::Value& settings) { return SMDVDevice::InitSetting(settings); }

int SPModbus::process(unsigned char*, unsigned int) { return 0; }

int SPModbus::modbus_read_registers(int start, int count) {
    if (count < 1 || count > kResponseWords) return -1;
    host::ModbusRequest request;
    request.function = host::ModbusRequest::ReadHolding;
    request.address = start;
    request.count = count;
    queue(std::move(request));
    return 0;
}

int SPModbus::modbus_write_register(int address, int value) {
    host::ModbusRequest request;
    request.function = host::ModbusRequest::WriteSingle;
    request.address = address;
    request.count = 1;
    request.values = {static_cast<std::uint16_t>(value)};
    queue(std::move(request));
    return 0;
}

int SPModbus::modbus_write_registers(int start, int count, const unsigned short* values) {
    if (count < 1 || values == nullptr) return -1;
    host::ModbusRequest request;
    request.function = host::ModbusRequest::WriteMultiple;
    request.address = start;
    request.count = count;
    request.values.assign(values, values + count);
    queue(std::move(request));
    return 0;
}

void SPModbus::queue(host::ModbusRequest request) {
    std::lock_guard<std::mutex> lock(requestMutex_);
    request_ = std::move(request);
}

std::optional<host::ModbusRequest> SPModbus::takeRequest() {
    std::lock_guard<std::mutex> lock(requestMutex_);
    auto request = std::move(request_);
    request_.reset();
    return request;
}

bool SPModbus::hasRequest() const {
    std::lock_guard<std::mutex> lock(requestMutex_);
    return request_.has_value();
}

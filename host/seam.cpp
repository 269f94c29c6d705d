#include "host/seam.h"

#include <algorithm>
#include <atomic>

namespace host {
namespace {

// With nothing plugged in there is no meter: every exchange fails.
class NoMeter : public Transport {
  public:
    bool open(SPModbus&) override { return false; }
    ModbusReply exchange(SPModbus&, const ModbusRequest&) override {
        ModbusReply reply;
        reply.error = "no transport";
        return reply;
    }
};

NoMeter noMeter;
Services quietServices;
std::atomic<Transport*> defaultTransport{&noMeter};
std::atomic<Services*> defaultServices{&quietServices};

// Fills the response buffer for a write the meter refused so that no device
// can take it for the echo it expects.
void refusedWriteEcho(const ModbusRequest& request, const ModbusReply& reply,
                      std::uint16_t* words) {
    if (request.function == ModbusRequest::WriteSingle) {
        words[0] = static_cast<std::uint16_t>(~(request.values.empty() ? 0 : request.values[0]));
        words[1] = static_cast<std::uint16_t>(reply.exceptionCode);
    } else {
        words[0] = 0x80 | ModbusRequest::WriteMultiple;
        words[1] = static_cast<std::uint16_t>(reply.exceptionCode);
    }
}

}  // namespace

std::vector<std::uint16_t> writeEcho(const ModbusRequest& request) {
    if (request.function == ModbusRequest::WriteSingle)
        return {request.values.empty() ? std::uint16_t{0} : request.values[0]};
    return {ModbusRequest::WriteMultiple, static_cast<std::uint16_t>(request.count)};
}

Transport::~Transport() = default;
Services::~Services() = default;

bool Services::SendSP(SMDVDevice&, int, const unsigned char*, unsigned int, bool) { return true; }
bool Services::SaveDeviceHistory(SMDVDevice&, const unsigned char*, unsigned int) { return true; }
bool Services::CheckThreshold(SMDVDevice&, const std::string&, const std::string&, float&, int) {
    return false;
}
bool Services::CheckThresholdBool(SMDVDevice&, int, const std::string&, const std::string&,
                                  const std::string&, const std::string&, bool, unsigned short) {
    return false;
}
bool Services::CheckAOReport(SMDVDevice&, const std::string&, float) { return false; }
bool Services::DoBatchCheckThreshold(SMDVDevice&, const std::vector<rule_value>&) { return false; }
int Services::InitSetting(SMDVDevice&, const Json::Value&) { return 0; }
int Services::DeviceIoControl(SMDVDevice&, int, const void*, int, void*, int, int&) { return -1; }
void Services::Reset(SMDVDevice&) {}

void setDefaultTransport(Transport* transport) {
    defaultTransport = transport != nullptr ? transport : &noMeter;
}

void setDefaultServices(Services* services) {
    defaultServices = services != nullptr ? services : &quietServices;
}

int pump(SPModbus& device) {
    int exchanges = 0;
    while (auto request = device.takeRequest()) {
        ++exchanges;
        const ModbusReply reply = device.transport().exchange(device, *request);
        const bool isWrite = request->function != ModbusRequest::ReadHolding;
        std::fill(std::begin(device.respBuf_), std::end(device.respBuf_), 0);
        // A read answered with another number of registers than asked for
        // would leave part of the device's block stale or zero: it counts as
        // a failed exchange.
        const bool wholeReply =
            isWrite || reply.words.size() == static_cast<std::size_t>(request->count);
        if (reply.status == ModbusReply::Status::Ok && wholeReply) {
            const std::size_t n =
                std::min<std::size_t>(reply.words.size(), SPModbus::kResponseWords);
            std::copy_n(reply.words.begin(), n, device.respBuf_);
            device.process_payload(device.curTab_, static_cast<unsigned int>(n));
        } else if (reply.status == ModbusReply::Status::Exception && isWrite) {
            refusedWriteEcho(*request, reply, device.respBuf_);
            device.process_payload(device.curTab_, 2);
        } else {
            device.on_error();
        }
    }
    return exchanges;
}

}  // namespace host

host::Transport& SPModbus::transport() const {
    return transport_ != nullptr ? *transport_ : *host::defaultTransport.load();
}

host::Services& SMDVDevice::services() const {
    return services_ != nullptr ? *services_ : *host::defaultServices.load();
}

#include "modbus_server/served_meters.h"

#include <string>

#include "modbus_server/register_map.h"

namespace vedhost {

ServedMeters::ServedMeters(std::map<int, unsigned> routes, std::vector<WritableRange> writes,
                           Clock::duration maxAge)
    : routes_(std::move(routes)), writes_(std::move(writes)), maxAge_(maxAge) {
    for (const auto& [unit, dataId] : routes_) latest_[dataId];
}

void ServedMeters::round(unsigned dataId, const std::uint8_t* record, std::size_t length,
                         Clock::time_point when) {
    if (length != kRecordBytes) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = latest_.find(dataId);
    if (it == latest_.end()) return;
    it->second.record.assign(record, record + length);
    it->second.when = when;
    it->second.answering = true;
}

void ServedMeters::answering(unsigned dataId, bool answering) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = latest_.find(dataId);
    if (it != latest_.end()) it->second.answering = answering;
}

std::optional<unsigned> ServedMeters::meterOf(int unit) const {
    const auto it = routes_.find(unit);
    if (it == routes_.end()) return std::nullopt;
    return it->second;
}

bool ServedMeters::writable(unsigned dataId, unsigned first, unsigned count) const {
    const unsigned last = first + count - 1;
    for (const WritableRange& w : writes_)
        if (w.dataId == dataId && first >= w.first && last <= w.last) return true;
    return false;
}

ServedMeters::Read ServedMeters::read(unsigned dataId, unsigned first, unsigned count,
                                      Clock::time_point now,
                                      std::vector<std::uint16_t>& words) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = latest_.find(dataId);
    if (it == latest_.end() || it->second.record.empty() || !it->second.answering)
        return Read::Offline;
    if (now - it->second.when > maxAge_) return Read::Stale;
    words = registersFromRecord(it->second.record.data(), first, count);
    return Read::Ok;
}

}  // namespace vedhost

#include "presentation/signal_values.h"

#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace vedhost {
namespace {

using namespace ved96_report;

std::string isoTime(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                    unsigned second) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", year, month, day, hour,
                  minute, second);
    return text;
}

// The report writes the time unpadded ("2024-3-7 9:5:2"); anything else is
// passed on as it is.
Json::Value reportTime(const std::string& text) {
    unsigned y, mo, d, h, mi, s;
    char tail;
    if (std::sscanf(text.c_str(), "%u-%u-%u %u:%u:%u%c", &y, &mo, &d, &h, &mi, &s, &tail) == 6 &&
        y < 10000 && mo < 100 && d < 100 && h < 100 && mi < 100 && s < 100)
        return isoTime(y, mo, d, h, mi, s);
    return text;
}

}  // namespace

std::vector<SignalValue> reportValues(const Json::Value& report) {
    std::vector<SignalValue> values;
    if (!report.isObject()) return values;
    values.reserve(kSignalCount);
    for (const Signal& signal : signals()) {
        const Json::Value* member = report.find(signal.key, signal.key + std::strlen(signal.key));
        if (member == nullptr) continue;
        switch (signal.kind) {
            case SignalKind::Number:
                if (member->isNumeric()) values.push_back({&signal, member->asDouble()});
                break;
            case SignalKind::Bit:
                if (member->isString()) {
                    const std::string text = member->asString();
                    if (text == signal.word->setText) values.push_back({&signal, true});
                    if (text == signal.word->clearText) values.push_back({&signal, false});
                }
                break;
            case SignalKind::Setting:
                if (member->isString()) values.push_back({&signal, *member});
                break;
            case SignalKind::UpdateTime:
                if (member->isString()) values.push_back({&signal, reportTime(member->asString())});
                break;
            case SignalKind::AlertArray:
                break;
        }
    }
    return values;
}

std::vector<SignalValue> recordValues(const unsigned char* record, std::size_t length) {
    std::vector<SignalValue> values;
    if (record == nullptr || length != sizeof(ved96_Data_t)) return values;
    ved96_Data_t data;
    std::memcpy(&data, record, sizeof data);
    values.reserve(kSignalCount);
    for (const Signal& signal : signals()) {
        switch (signal.kind) {
            case SignalKind::Number:
                values.push_back(
                    {&signal, convert(registerAt(data, signal.offset), signal.conversion)});
                break;
            case SignalKind::Bit:
                values.push_back(
                    {&signal, ((registerAt(data, signal.offset) >> signal.bit) & 1u) != 0});
                break;
            case SignalKind::Setting:
                values.push_back(
                    {&signal, settingText(*signal.setting, registerAt(data, signal.offset))});
                break;
            case SignalKind::UpdateTime: {
                const ttime& t = data.update_time;
                values.push_back(
                    {&signal, isoTime(t.year, t.month, t.day, t.hour, t.minute, t.second)});
                break;
            }
            case SignalKind::AlertArray:
                break;
        }
    }
    return values;
}

Json::Value valuesById(const std::vector<SignalValue>& values) {
    Json::Value object(Json::objectValue);
    for (const SignalValue& v : values) object[v.signal->id] = v.value;
    return object;
}

const char* signalIdOfKey(const std::string& key) {
    static const std::unordered_map<std::string, const char*> ids = [] {
        std::unordered_map<std::string, const char*> m;
        for (const auto& s : signals()) m.emplace(s.key, s.id);
        return m;
    }();
    const auto it = ids.find(key);
    return it == ids.end() ? nullptr : it->second;
}

}  // namespace vedhost

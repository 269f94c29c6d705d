#include "web/web_state.h"

#include <algorithm>

#include "common/json_file.h"
#include "hosting/event_log.h"
#include "presentation/alarm_tracker.h"
#include "presentation/state_message.h"
#include "web/metrics.h"

namespace vedhost {
namespace {

std::int64_t unixSeconds(std::chrono::system_clock::time_point when) {
    return std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
}

const char* statusText(int status) {
    static const char* const texts[] = {"unknown", "online", "offline"};
    return texts[status];
}

}  // namespace

void WebState::addMeter(unsigned dataId, const std::string& line, int slave) {
    View view;
    view.state = Json::Value(Json::objectValue);
    view.state["data_id"] = dataId;
    view.state["line"] = line;
    view.state["slave"] = slave;
    view.stateText = presentedJson(view.state);
    std::lock_guard<std::mutex> lock(mutex_);
    meters_[dataId] = std::move(view);
}

void WebState::round(unsigned dataId, const Json::Value& report) {
    const auto now = clock_();
    const std::int64_t mono = monotonic_();
    std::string line;
    int slave = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = meters_.find(dataId);
        if (it == meters_.end()) return;
        line = it->second.state["line"].asString();
        slave = it->second.state["slave"].asInt();
    }
    // Built and written outside the lock; only the line thread of this
    // meter changes its state.
    Json::Value state = stateMessage(dataId, timestamp(now), line, slave, report, presentation_,
                                     hostValues_ ? hostValues_(dataId) : Json::Value());
    std::string text = presentedJson(state);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        View& v = meters_.find(dataId)->second;
        v.state = std::move(state);
        v.stateText = std::move(text);
        v.lastRound = now;
        v.lastRoundMono = mono;
        ++v.rounds;
    }
    changed(dataId);
}

void WebState::answering(unsigned dataId, bool answering) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = meters_.find(dataId);
        if (it == meters_.end()) return;
        it->second.status = answering ? View::Status::Online : View::Status::Offline;
    }
    changed(dataId);
}

void WebState::alarmCheck(unsigned dataId, int level, const std::string& key,
                          const std::string& alarmId, const std::string& valueText,
                          const std::string& message, bool active, unsigned short) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = meters_.find(dataId);
        if (it == meters_.end()) return;
        View& v = it->second;
        AlarmTracker::Check check = v.alarms.check(alarmId, key, valueText, active);
        if (check.news == AlarmTracker::News::None) return;
        const std::int64_t now = unixSeconds(clock_());
        if (check.news == AlarmTracker::News::Raised) {
            Alarm a;
            a.alarmId = alarmId;
            a.key = key;
            if (check.signal != nullptr) a.signal = check.signal;
            a.value = valueText;
            a.message = message;
            a.level = level;
            a.since = now;
            v.raised.emplace(std::move(check.name), std::move(a));
        } else {
            // Raised by the tracker's word, so listed under its name.
            const auto raised = v.raised.find(check.name);
            if (raised == v.raised.end()) return;
            Alarm a = std::move(raised->second);
            v.raised.erase(raised);
            a.cleared = now;
            v.cleared.push_front(std::move(a));
            if (v.cleared.size() > kClearedKept) v.cleared.pop_back();
        }
    }
    changed(dataId);
}

void WebState::exchange(unsigned dataId, Exchange outcome) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = meters_.find(dataId);
    if (it == meters_.end()) return;
    View& v = it->second;
    ++v.exchanges;
    if (outcome == Exchange::TimedOut) ++v.timeouts;
    if (outcome == Exchange::Failed) ++v.errors;
}

namespace {

Json::Value alarmJson(const Json::Value& dataId, const std::string& alarmId, const std::string& key,
                      const std::string& signal, int level, const std::string& value,
                      const std::string& message, std::int64_t since, std::int64_t cleared) {
    Json::Value a(Json::objectValue);
    if (!dataId.isNull()) a["data_id"] = dataId;
    a["alarm_id"] = alarmId;
    a["key"] = key;
    if (!signal.empty()) a["signal"] = signal;
    a["level"] = level;
    a["value"] = value;
    a["message"] = message;
    a["since"] = Json::Int64(since);
    if (cleared != 0) a["cleared"] = Json::Int64(cleared);
    return a;
}

}  // namespace

std::string WebState::viewText(const View& v, std::chrono::system_clock::time_point,
                               std::int64_t monoNow) const {
    Json::Value m(Json::objectValue);
    m["status"] = statusText(static_cast<int>(v.status));
    if (v.lastRound) {
        m["last_round"] = Json::Int64(unixSeconds(*v.lastRound));
        // Counted by the monotonic clock: the wall clock may have stepped.
        m["age_seconds"] = Json::Int64(std::max<std::int64_t>(0, monoNow - v.lastRoundMono) / 1000);
    }
    m["rounds"] = Json::UInt64(v.rounds);
    m["exchanges"] = Json::UInt64(v.exchanges);
    m["timeouts"] = Json::UInt64(v.timeouts);
    m["errors"] = Json::UInt64(v.errors);
    Json::Value raised(Json::arrayValue), cleared(Json::arrayValue);
    for (const auto& [name, a] : v.raised)
        raised.append(alarmJson(Json::Value(), a.alarmId, a.key, a.signal, a.level, a.value,
                                a.message, a.since, 0));
    for (const Alarm& a : v.cleared)
        cleared.append(alarmJson(Json::Value(), a.alarmId, a.key, a.signal, a.level, a.value,
                                 a.message, a.since, a.cleared));
    m["alarms"]["raised"] = raised;
    m["alarms"]["cleared"] = cleared;
    // The state's members, then these: {"data_id":1,...,"status":"online",...}
    const std::string more = presentedJson(m);
    return v.stateText.substr(0, v.stateText.size() - 1) + "," + more.substr(1);
}

std::string WebState::meterText(unsigned dataId) const {
    const auto now = clock_();
    const std::int64_t mono = monotonic_();
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = meters_.find(dataId);
    return it == meters_.end() ? std::string() : viewText(it->second, now, mono);
}

std::string WebState::metersText() const {
    const auto now = clock_();
    const std::int64_t mono = monotonic_();
    std::string all = "[";
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, v] : meters_) {
        if (all.size() > 1) all += ',';
        all += viewText(v, now, mono);
    }
    return all + "]";
}

namespace {

Json::Value parsed(const std::string& text) {
    Json::Value value;
    std::string error;
    if (!text.empty()) parseJson(text, value, error);
    return value;
}

}  // namespace

Json::Value WebState::meter(unsigned dataId) const { return parsed(meterText(dataId)); }

Json::Value WebState::meters() const { return parsed(metersText()); }

Json::Value WebState::alarms() const {
    Json::Value out(Json::objectValue);
    out["raised"] = Json::Value(Json::arrayValue);
    out["cleared"] = Json::Value(Json::arrayValue);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, v] : meters_) {
        for (const auto& [name, a] : v.raised)
            out["raised"].append(
                alarmJson(id, a.alarmId, a.key, a.signal, a.level, a.value, a.message, a.since, 0));
        for (const Alarm& a : v.cleared)
            out["cleared"].append(alarmJson(id, a.alarmId, a.key, a.signal, a.level, a.value,
                                            a.message, a.since, a.cleared));
    }
    return out;
}

std::string WebState::metrics() const {
    std::vector<MeterReading> readings;
    std::lock_guard<std::mutex> lock(mutex_);
    readings.reserve(meters_.size());
    for (const auto& [id, v] : meters_) {
        MeterReading r;
        r.dataId = id;
        r.up = v.status == View::Status::Online;
        r.rounds = v.rounds;
        r.exchanges = v.exchanges;
        r.timeouts = v.timeouts;
        r.errors = v.errors;
        if (v.lastRound)
            r.lastRound = std::chrono::duration<double>(v.lastRound->time_since_epoch()).count();
        r.values = &v.state["values"];
        readings.push_back(r);
    }
    return metricsText(readings, presentation_);
}

}  // namespace vedhost

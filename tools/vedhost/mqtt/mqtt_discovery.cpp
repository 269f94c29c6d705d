#include "mqtt/mqtt_discovery.h"

#include <unistd.h>

#include <climits>

#include "common/json_file.h"

namespace vedhost {
namespace {

using ved96_report::Signal;
using ved96_report::SignalKind;

// The meter's model as the devices name it.
constexpr const char* kModel = "ved96";

std::string topicLevel(const std::string& text) {
    std::string level = text;
    for (char& c : level) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!keep) c = '_';
    }
    return level;
}

}  // namespace

Discovery::Discovery(std::string discoveryPrefix, std::string topicPrefix,
                     const Presentation& presentation, DiscoverySite site)
    : prefix_(std::move(discoveryPrefix)),
      topicPrefix_(std::move(topicPrefix)),
      node_(topicLevel(topicPrefix_)),
      presentation_(presentation),
      site_(std::move(site)) {}

std::vector<DiscoveryMessage> Discovery::announce(unsigned dataId) const {
    const std::string meter = std::to_string(dataId);
    const std::string base = topicPrefix_ + "/" + meter;
    const std::string deviceId = node_ + "_" + meter;

    Json::Value device(Json::objectValue);
    device["identifiers"].append(deviceId);
    device["name"] = std::string(kModel) + " meter " + meter;
    device["model"] = kModel;
    if (!site_.version.empty()) device["sw_version"] = site_.version;
    if (!site_.pageUrl.empty()) device["configuration_url"] = site_.pageUrl;
    Json::Value origin(Json::objectValue);
    origin["name"] = "vedhost";
    if (!site_.version.empty()) origin["sw_version"] = site_.version;

    std::vector<DiscoveryMessage> out;
    auto add = [&](const std::string& id, const std::string& name, const std::string& unit,
                   const std::string& deviceClass, const std::string& stateClass, bool bit) {
        // The state's values are keyed by id; "values" is written as a key
        // because the template language would take .values for the method.
        const std::string value = "value_json['values']['" + id + "']";

        Json::Value config(Json::objectValue);
        config["name"] = name;
        config["unique_id"] = deviceId + "_" + id;
        config["state_topic"] = base + "/state";
        config["availability_topic"] = base + "/status";
        config["payload_available"] = "online";
        config["payload_not_available"] = "offline";
        config["qos"] = 1;
        if (bit) {
            config["value_template"] = "{{ 'ON' if " + value + " else 'OFF' }}";
            config["payload_on"] = "ON";
            config["payload_off"] = "OFF";
        } else {
            config["value_template"] = "{{ " + value + " }}";
            if (!unit.empty()) config["unit_of_measurement"] = unit;
            if (!stateClass.empty()) config["state_class"] = stateClass;
        }
        if (!deviceClass.empty()) config["device_class"] = deviceClass;
        config["device"] = device;
        config["origin"] = origin;

        out.push_back({prefix_ + (bit ? "/binary_sensor/" : "/sensor/") + node_ + "/" + meter +
                           "_" + id + "/config",
                       presentedJson(config)});
    };
    for (const std::string& id : presentation_.ids()) {
        const Signal* signal = ved96_report::findSignal(id.c_str());
        const SignalStyle* style = presentation_.find(id);
        if (signal == nullptr || style == nullptr) continue;
        add(id, presentation_.label(*signal), style->unit, style->deviceClass, style->stateClass,
            signal->kind == SignalKind::Bit);
    }
    for (const HostEntity& e : entities_)
        add(e.id, e.name, e.unit, e.deviceClass, e.stateClass, false);
    return out;
}

bool Discovery::outdated(const std::string& topic, const std::string& payload,
                         const std::set<std::string>& current) const {
    if (payload.empty() || current.count(topic) != 0) return false;
    // Only what this host announced: its node, and a state topic under its
    // own prefix (another prefix may map to the same node).
    const std::string head = prefix_ + "/";
    const std::string tail = "/" + node_ + "/";
    if (topic.compare(0, head.size(), head) != 0 ||
        topic.find(tail, head.size()) == std::string::npos)
        return false;
    Json::Value config;
    std::string error;
    if (!parseJson(payload, config, error) || !config.isObject()) return false;
    const Json::Value& state = config["state_topic"];
    return state.isString() &&
           state.asString().compare(0, topicPrefix_.size() + 1, topicPrefix_ + "/") == 0;
}

std::string pageAddress(const std::string& listen, bool tls) {
    std::string host = listen, port;
    const auto colon = listen.rfind(':');
    if (colon != std::string::npos) {
        host = listen.substr(0, colon);
        port = listen.substr(colon + 1);
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    // Served on every address: other machines find it by this one's name.
    if (host.empty() || host == "0.0.0.0" || host == "::" || host == "*") {
        char name[HOST_NAME_MAX + 1] = {};
        host = gethostname(name, sizeof name - 1) == 0 && name[0] != '\0' ? name : "localhost";
    }
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return std::string(tls ? "https://" : "http://") + host + (port.empty() ? "" : ":" + port) +
           "/";
}

}  // namespace vedhost

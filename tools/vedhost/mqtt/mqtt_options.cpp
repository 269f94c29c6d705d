// The MQTT publisher's settings.
#include "mqtt/mqtt_options.h"

#include "common/json_file.h"
#include "common/parse.h"

namespace vedhost {
namespace {

using J = const Json::Value&;

bool validPrefix(const std::string& prefix) {
    return !prefix.empty() && prefix.find_first_of("+#") == std::string::npos &&
           prefix.back() != '/';
}

const SettingRow<MqttOptions> kRows[] = {
    {{"everything", "--mqtt", "HOST:PORT", "mqtt.host",
      "publish each meter's state, alarms and status to an MQTT broker;\n"
      "the document names the broker's \"host\" and \"port\" apart",
      ValueType::Custom, 0, 0},
     [](MqttOptions& m, J v, const Given& given, std::string& error) {
         if (given.source == Source::CommandLine) {
             if (!parseHostPort(v.asString(), m.host, m.port)) {
                 error = given.name + ": expected HOST:PORT, got \"" + v.asString() + "\"";
                 return false;
             }
             if (given.sources != nullptr) given.sources->note("mqtt.port", given.source);
             return true;
         }
         if (!v.isString() || v.asString().empty()) {
             error = given.name + ": expected the broker's host name, got " + valueText(v);
             return false;
         }
         m.host = v.asString();
         return true;
     },
     [](const MqttOptions& m) { return textOrNull(m.host); }},
    {{"everything", nullptr, nullptr, "mqtt.port", "the broker's port (default 1883)",
      ValueType::Integer, 1, 65535},
     [](MqttOptions& m, J v, const Given&, std::string&) {
         m.port = v.asInt();
         return true;
     },
     [](const MqttOptions& m) { return Json::Value(m.port); }},
    {{"everything", "--mqtt-prefix", "P", "mqtt.prefix",
      "topic prefix (default ved96): P/DATA_ID/state|alarm|status", ValueType::Custom, 0, 0},
     [](MqttOptions& m, J v, const Given& given, std::string& error) {
         if (!v.isString() || !validPrefix(v.asString())) {
             error = given.name + ": expected a topic level without +, # or a trailing /, got " +
                     valueText(v);
             return false;
         }
         m.prefix = v.asString();
         return true;
     },
     [](const MqttOptions& m) { return Json::Value(m.prefix); }},
    {{"everything", "--mqtt-discovery", "P", "mqtt.discovery",
      "announce meters for Home Assistant under discovery prefix P (usually\n"
      "homeassistant)",
      ValueType::Custom, 0, 0},
     [](MqttOptions& m, J v, const Given& given, std::string& error) {
         if (!v.isString() || !validPrefix(v.asString())) {
             error = given.name + ": expected a topic prefix without +, # or a trailing /, got " +
                     valueText(v);
             return false;
         }
         m.discoveryPrefix = v.asString();
         return true;
     },
     [](const MqttOptions& m) { return textOrNull(m.discoveryPrefix); }},
    {{"everything", "--mqtt-user", "U", "mqtt.user", "user name for the broker", ValueType::Text, 0,
      0},
     [](MqttOptions& m, J v, const Given&, std::string&) {
         m.user = v.asString();
         return true;
     },
     [](const MqttOptions& m) { return textOrNull(m.user); }},
    {{"everything", "--mqtt-password-file", "F", "mqtt.password_file",
      "the password, first line of F", ValueType::Path, 0, 0},
     [](MqttOptions& m, J v, const Given&, std::string&) {
         m.passwordFile = v.asString();
         return true;
     },
     [](const MqttOptions& m) { return textOrNull(m.passwordFile); }},
    // The password itself is never written in the document; check-config
    // shows that one was read, masked.
    {{"everything", nullptr, nullptr, "mqtt.password",
      "refused: the password stays in the file \"password_file\" names", ValueType::Custom, 0, 0},
     [](MqttOptions&, J, const Given& given, std::string& error) {
         error = given.name + ": put the password in a file and name it with \"password_file\"";
         return false;
     },
     [](const MqttOptions& m) {
         return !m.passwordFile.empty() ? Json::Value("********") : Json::Value();
     }},
    {{"everything", "--mqtt-tls-ca", "FILE", "mqtt.tls_ca",
      "TLS to the broker, its certificate checked against this CA", ValueType::Path, 0, 0},
     [](MqttOptions& m, J v, const Given&, std::string&) {
         m.tlsCaFile = v.asString();
         return true;
     },
     [](const MqttOptions& m) { return textOrNull(m.tlsCaFile); }},
    {{"everything", "--mqtt-queue", "N", "mqtt.queue",
      "messages kept per meter while the broker is away (default 1000)", ValueType::Integer, 1,
      1000000},
     [](MqttOptions& m, J v, const Given&, std::string&) {
         m.queueLimit = static_cast<std::size_t>(v.asInt64());
         return true;
     },
     [](const MqttOptions& m) { return Json::Value(static_cast<Json::Int64>(m.queueLimit)); }},
};

// The broker is needed by every other member; the files are read now, so a
// missing one stops the host before any line is opened.
bool finishMqtt(MqttOptions& m, Sources& sources, std::string& error) {
    if (m.host.empty()) {
        error = sources.givenInDocument("mqtt.")
                    ? "mqtt.host: missing; the other \"mqtt\" members need the broker"
                    : "the --mqtt-* options need --mqtt HOST:PORT";
        return false;
    }
    if (!m.passwordFile.empty()) {
        const std::string name = sources.spelled("mqtt.password_file", "--mqtt-password-file");
        if (m.user.empty()) {
            error = name + " needs " + sources.spelled("mqtt.password_file", "--mqtt-user");
            if (name == "mqtt.password_file") error = name + ": needs \"user\"";
            return false;
        }
        if (!sources.readNamedFile("mqtt.password_file", "--mqtt-password-file", m.passwordFile,
                                   m.password, error))
            return false;
        m.password = firstLine(m.password);
    }
    // The library reads the CA file itself; reading it now stops the host
    // before any line is opened when it cannot be read.
    std::string ignored;
    return m.tlsCaFile.empty() ||
           sources.readNamedFile("mqtt.tls_ca", "--mqtt-tls-ca", m.tlsCaFile, ignored, error);
}

const SettingTable<MqttOptions> kTable = settingTable(kRows, finishMqtt);

}  // namespace

const SettingTable<MqttOptions>& mqttOptions() { return kTable; }

}  // namespace vedhost

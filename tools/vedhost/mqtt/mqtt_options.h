// Where and how the MQTT publisher (mqtt_sink.h) reaches its broker: --mqtt
// and the --mqtt-* options, the "mqtt" group of the --config document.
#pragma once

#include <cstddef>
#include <string>

#include "config/option_rows.h"

namespace vedhost {

struct MqttOptions {
    std::string host;
    int port = 1883;
    std::string prefix = "ved96";  // topics are PREFIX/DATA_ID/state, .../alarm, .../status
    std::string user;
    std::string passwordFile;       // the file the password is read from
    std::string password;           // its first line
    std::string tlsCaFile;          // set: TLS, the broker's certificate checked against this CA
    std::size_t queueLimit = 1000;  // per meter, messages kept while the broker is away
    int keepaliveSeconds = 30;
    // Set: each meter and the signals the presentation names are announced
    // for Home Assistant's MQTT discovery under this prefix ("homeassistant").
    std::string discoveryPrefix;
};

// --mqtt and the --mqtt-* options, the document's "mqtt" members.
const SettingTable<MqttOptions>& mqttOptions();

}  // namespace vedhost

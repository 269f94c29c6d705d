// The MQTT publisher: each meter's rounds, alarms and status go to a broker
// (libmosquitto), under PREFIX/DATA_ID/:
//   state   after each completed round: {"data_id", "time", "line", "slave",
//           "values": {ASCII id: value}, "units": {ASCII id: unit}}, the values
//           scaled and the units named as the user's presentation says
//   alarm   each alarm raised or cleared (the threshold checks and the
//           meter's own alarms the device forwards) and each analog report
//   write   each register write a Modbus client asked of the meter, allowed
//           or refused, with its outcome (modbus_server/)
//   status  "online" while the meter answers, "offline" when it falls silent
//           or the host stops; retained, and the connection's last will, so a
//           host that dies leaves "offline" behind.
// Everything is sent with QoS 1. Each meter has its own connection, because a
// connection carries one last will. A broker that is away never holds up the
// line threads: state and alarm messages wait in a queue of at most
// MqttOptions::queueLimit per meter (the oldest are dropped and counted) and
// go out once the connection is back; each connection's thread connects
// again after a back-off of 1 to 30 seconds. The status is not queued: the
// current one is sent on every connect.
//
// With MqttOptions::discoveryPrefix set, each connection also announces its
// meter for Home Assistant (mqtt_discovery.h): retained, before the status on
// every connect, and again whenever Home Assistant says "online" on
// DISCOVERY_PREFIX/status. The lowest data id's connection reads back the
// host's earlier announcements on connect and clears those it no longer makes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "mqtt/mqtt_options.h"
#include "hosting/publisher.h"
#include "mqtt/mqtt_discovery.h"
#include "presentation/presentation.h"
#include "presentation/state_message.h"

namespace vedhost {

class MqttSink : public Publisher {
  public:
    // The presentation scales the state's values and gives their units (and
    // the announcements' classes); it must outlive the sink. `site` is what
    // the announcements say about the host.
    MqttSink(MqttOptions options, const Presentation& presentation, DiscoverySite site = {});
    ~MqttSink() override;
    MqttSink(const MqttSink&) = delete;
    MqttSink& operator=(const MqttSink&) = delete;

    // Makes the connection of one meter; before start().
    bool addMeter(unsigned dataId, const std::string& line, int slave, std::string& error);
    // Starts connecting every meter's connection; a broker that is not there
    // yet is tried again in the background.
    void start();
    // Marks every meter "offline", sends what is queued while the broker
    // answers (for at most a few seconds), and disconnects.
    void stop();

    // A round sends the meter's state message, made from its report.
    // Each meter's connection as /metrics and the page show it: whether it
    // is up (and since when it is not), what waits in its queue, and what
    // was dropped from it since start; any thread.
    struct Health {
        unsigned dataId = 0;
        bool connected = false;
        std::int64_t awaySinceMs = 0;  // unix ms, while it is not connected
        std::size_t queued = 0, dropped = 0;
    };
    std::vector<Health> health() const;

    void round(const Round& round) override;
    void round(unsigned dataId, const Json::Value& report);
    void answering(unsigned dataId, bool answering) override;
    void alarmCheck(unsigned dataId, int level, const std::string& key, const std::string& alarmId,
                    const std::string& valueText, const std::string& message, bool active,
                    unsigned short serial) override;
    void analogReport(unsigned dataId, const std::string& key, float value) override;
    // A register write a Modbus client asked for and its outcome, as the
    // event log has it, to PREFIX/DATA_ID/write; queued like the state.
    void clientWrite(unsigned dataId, const Json::Value& audit);

    // Values the host adds to each state message (the energy ledger's),
    // and those of them to announce; before addMeter(). `values` is called
    // on the line thread of the round.
    void setHostValues(HostValues values, std::vector<HostEntity> announced);

    struct Client;  // one meter's connection and queue

  private:
    friend struct Client;
    // One stderr line about the broker, unless it repeats the previous one
    // (every meter's connection sees the broker come and go at once).
    void note(const std::string& text);
    bool stopRequested();
    // Waits `delay` or until stop(); true when stopping.
    bool waitStop(std::chrono::seconds delay);

    MqttOptions options_;
    const Presentation& presentation_;
    HostValues hostValues_;
    std::unique_ptr<Discovery> discovery_;  // set when announcing
    std::set<std::string> announced_;       // every announcement topic, fixed at start()
    std::map<unsigned, std::unique_ptr<Client>> clients_;
    std::mutex noteMutex_;
    std::string lastNote_;
    bool started_ = false;
    std::mutex stopMutex_;
    std::condition_variable stopping_;
    bool stopRequested_ = false;
};

}  // namespace vedhost

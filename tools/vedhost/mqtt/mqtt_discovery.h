// Home Assistant's MQTT discovery: the retained config messages that announce
// each meter as a device and each signal the presentation names as one of its
// entities, so that Home Assistant shows them (and its Energy dashboard takes
// the energy counters) with nothing typed in.
//
// For MQTT prefix P, discovery prefix D and data id N, the signal S is
// announced on
//   D/sensor/NODE/N_S/config         a number or a text
//   D/binary_sensor/NODE/N_S/config  a status bit, "ON" while set
// where NODE is P with every character other than a letter, a digit, '_' or
// '-' written as '_'. Each announcement reads its value from P/N/state,
// takes the meter's availability from the retained P/N/status, and carries
// the label, unit, device class and state class the presentation gives.
//
// NODE is this host's namespace under D: an announcement found under it that
// the host does not make now (a meter or a signal removed from the
// configuration) is cleared with an empty retained message. Hosts that share
// a broker and a discovery prefix need distinct MQTT prefixes.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "presentation/presentation.h"

namespace vedhost {

struct DiscoveryMessage {
    std::string topic;
    std::string payload;  // empty: clears a retained announcement
};

// A value the host adds to each meter's state (the energy ledger's totals,
// the demand), announced beside the presentation's signals.
struct HostEntity {
    std::string id, name, unit, deviceClass, stateClass;
};

// What the announcements say about the host around the meters.
struct DiscoverySite {
    std::string pageUrl;  // the host's web page, when it serves one: the devices' link
    std::string version;  // vedhost's version
};

class Discovery {
  public:
    // The presentation must outlive the announcer.
    Discovery(std::string discoveryPrefix, std::string topicPrefix,
              const Presentation& presentation, DiscoverySite site);

    // The host's values to announce after the signals, in this order.
    void setEntities(std::vector<HostEntity> entities) { entities_ = std::move(entities); }

    // The announcements of one meter: one per signal the presentation names,
    // in id order, then one per host entity.
    std::vector<DiscoveryMessage> announce(unsigned dataId) const;

    // Home Assistant says "online" here when it starts: announce again.
    std::string birthTopic() const { return prefix_ + "/status"; }
    // The filter that reads back this host's announcements from the broker.
    std::string announcedFilter() const { return prefix_ + "/+/" + node_ + "/+/config"; }
    // True when a retained announcement read back from the broker is one of
    // this host's that `current` (every topic announced now) lacks.
    bool outdated(const std::string& topic, const std::string& payload,
                  const std::set<std::string>& current) const;

  private:
    std::string prefix_;       // D
    std::string topicPrefix_;  // P
    std::string node_;         // P as a topic level of D
    const Presentation& presentation_;
    DiscoverySite site_;
    std::vector<HostEntity> entities_;
};

// The address of the page served on `listen` ("ADDR:PORT") as another
// machine reaches it: a wildcard address becomes this machine's host name.
std::string pageAddress(const std::string& listen, bool tls);

}  // namespace vedhost

// Home Assistant announcements: their topics under a prefix with several
// levels, which retained announcements read back from a broker are this
// host's own and no longer made, and the page address devices link to.
#include "mqtt/mqtt_discovery.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>

#include "common/json_file.h"

namespace vedhost {
namespace {

Presentation twoSignals() {
    Presentation p;
    Json::Value doc;
    std::string error;
    EXPECT_TRUE(parseJson(R"({"current_a": {"unit": "A", "state_class": "measurement"},
                              "alarm_a_over_voltage": {"device_class": "problem"}})",
                          doc, error));
    EXPECT_TRUE(p.parse(doc, error)) << error;
    return p;
}

TEST(Discovery, TopicsNameTheHostsPrefixAsOneLevel) {
    const Presentation p = twoSignals();
    const Discovery d("ha", "site/ved96", p, {});
    const auto messages = d.announce(7);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].topic, "ha/binary_sensor/site_ved96/7_alarm_a_over_voltage/config");
    EXPECT_EQ(messages[1].topic, "ha/sensor/site_ved96/7_current_a/config");
    EXPECT_EQ(d.announcedFilter(), "ha/+/site_ved96/+/config");
    EXPECT_EQ(d.birthTopic(), "ha/status");
    Json::Value config;
    std::string error;
    ASSERT_TRUE(parseJson(messages[1].payload, config, error)) << error;
    EXPECT_EQ(config["state_topic"], "site/ved96/7/state");
    EXPECT_EQ(config["availability_topic"], "site/ved96/7/status");
    EXPECT_EQ(config["unique_id"], "site_ved96_7_current_a");
    EXPECT_FALSE(config.isMember("device_class"));
    EXPECT_FALSE(config["device"].isMember("configuration_url"));
}

TEST(Discovery, TheHostsEnergyTotalsFollowTheSignals) {
    const Presentation p = twoSignals();
    Discovery d("ha", "ved96", p, {});
    d.setEntities({{"energy_fwd_active_total", "import total", "kWh", "energy", "total_increasing"},
                   {"demand_active", "demand", "kW", "power", "measurement"}});
    const auto messages = d.announce(2);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[2].topic, "ha/sensor/ved96/2_energy_fwd_active_total/config");
    EXPECT_EQ(messages[3].topic, "ha/sensor/ved96/2_demand_active/config");
    Json::Value config;
    std::string error;
    ASSERT_TRUE(parseJson(messages[2].payload, config, error)) << error;
    // What Home Assistant's energy dashboard asks of a meter's total.
    EXPECT_EQ(config["name"], "import total");
    EXPECT_EQ(config["unit_of_measurement"], "kWh");
    EXPECT_EQ(config["device_class"], "energy");
    EXPECT_EQ(config["state_class"], "total_increasing");
    EXPECT_EQ(config["value_template"], "{{ value_json['values']['energy_fwd_active_total'] }}");
    EXPECT_EQ(config["unique_id"], "ved96_2_energy_fwd_active_total");
    EXPECT_EQ(config["state_topic"], "ved96/2/state");
}

TEST(Discovery, OnlyItsOwnAnnouncementsNoLongerMadeAreOutdated) {
    const Presentation p = twoSignals();
    const Discovery d("homeassistant", "ved96", p, {});
    const std::set<std::string> current = {"homeassistant/sensor/ved96/1_current_a/config"};
    const std::string ours = R"({"state_topic": "ved96/4/state"})";
    const struct {
        const char* what;
        std::string topic;
        std::string payload;
        bool outdated;
    } rows[] = {
        {"a removed meter", "homeassistant/sensor/ved96/4_current_a/config", ours, true},
        {"a removed bit", "homeassistant/binary_sensor/ved96/4_di1/config", ours, true},
        {"a signal announced now", "homeassistant/sensor/ved96/1_current_a/config", ours, false},
        {"already cleared", "homeassistant/sensor/ved96/4_current_a/config", "", false},
        {"another node", "homeassistant/sensor/other/4_current_a/config", ours, false},
        {"another discovery prefix", "ha/sensor/ved96/4_current_a/config", ours, false},
        {"another prefix on the same node", "homeassistant/sensor/ved96/4_current_a/config",
         R"({"state_topic": "ved/96/4/state"})", false},
        {"no state topic", "homeassistant/sensor/ved96/4_current_a/config", "{}", false},
        {"not JSON", "homeassistant/sensor/ved96/4_current_a/config", "{", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(d.outdated(row.topic, row.payload, current), row.outdated);
    }
}

TEST(Discovery, DevicesLinkToThePageAsOtherMachinesReachIt) {
    char name[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    const std::string host = name;
    const struct {
        const char* listen;
        bool tls;
        std::string url;
    } rows[] = {
        {"127.0.0.1:8080", false, "http://127.0.0.1:8080/"},
        {"192.168.1.5:80", true, "https://192.168.1.5:80/"},
        {"0.0.0.0:8080", false, "http://" + host + ":8080/"},
        {"[::]:8080", false, "http://" + host + ":8080/"},
        {":8080", false, "http://" + host + ":8080/"},
        {"[fe80::1]:8080", false, "http://[fe80::1]:8080/"},
        {"meters.local:8080", false, "http://meters.local:8080/"},
    };
    for (const auto& row : rows) EXPECT_EQ(pageAddress(row.listen, row.tls), row.url) << row.listen;

    const Presentation p = twoSignals();
    const Discovery d("homeassistant", "ved96", p, {"http://meters.local:8080/", "1.2.3"});
    Json::Value config;
    std::string error;
    ASSERT_TRUE(parseJson(d.announce(1)[0].payload, config, error)) << error;
    EXPECT_EQ(config["device"]["configuration_url"], "http://meters.local:8080/");
    EXPECT_EQ(config["device"]["sw_version"], "1.2.3");
}

}  // namespace
}  // namespace vedhost

// The concerns' tables joined, each bound to where its settings live in
// HostConfig; and the rows that steer the reading itself.
#include "config/options.h"

#include "config/config.h"

namespace vedhost {
namespace {

using J = const Json::Value&;

// Where a concern's settings live in HostConfig: place() for a row to write
// into, view() for check-config and the checks (nullptr: the concern is off).
template <class Settings, Settings HostConfig::*member>
struct Member {
    static Settings& place(HostConfig& c) { return c.*member; }
    static const Settings* view(const HostConfig& c) { return &(c.*member); }
};
// A concern that is off unless configured: on once any of its settings is given.
template <class Settings, std::optional<Settings> HostConfig::*member>
struct WhenGiven {
    static Settings& place(HostConfig& c) {
        std::optional<Settings>& settings = c.*member;
        if (!settings) settings.emplace();
        return *settings;
    }
    static const Settings* view(const HostConfig& c) {
        const std::optional<Settings>& settings = c.*member;
        return settings ? &*settings : nullptr;
    }
};
// The host's own settings, and the whole configuration for the reading's rows.
template <class Settings>
struct Whole {
    static Settings& place(HostConfig& c) { return c; }
    static const Settings* view(const HostConfig& c) { return &c; }
};

template <class Settings, class Where>
class Joined final : public OptionTable {
  public:
    explicit Joined(const SettingTable<Settings>& table) : table_(table) {
        for (const SettingRow<Settings>& row : table) rows_.push_back(&row.option);
    }

    bool store(std::size_t index, HostConfig& config, J value, const Given& given,
               std::string& error) const override {
        return table_.rows[index].store(Where::place(config), value, given, error);
    }
    Json::Value show(std::size_t index, const HostConfig& config) const override {
        const Settings* settings = Where::view(config);
        const auto show = table_.rows[index].show;
        return settings != nullptr && show != nullptr ? show(*settings) : Json::Value();
    }
    bool finish(HostConfig& config, std::string& error) const override {
        return table_.finish == nullptr || Where::view(config) == nullptr ||
               table_.finish(Where::place(config), config.sources, error);
    }

  private:
    const SettingTable<Settings>& table_;
};

// The rows that steer the reading itself: the document to read, help and
// version. They have no member: a document does not name itself.
const SettingRow<HostConfig> kDocumentRows[] = {
    {{"several meters", "--config", "FILE", nullptr,
      "JSON document with the lines and endpoints and their meters, and any\n"
      "setting by its member (shown beside each option); the command line wins",
      ValueType::Path, 0, 0},
     [](HostConfig& c, J v, const Given&, std::string&) {
         c.configPath = v.asString();
         return true;
     },
     nullptr},
};
const SettingRow<HostConfig> kInfoRows[] = {
    {{"everything", "--help", nullptr, nullptr, "show this text", ValueType::Flag, 0, 0},
     [](HostConfig& c, J, const Given&, std::string&) {
         c.help = true;
         return true;
     },
     nullptr},
    {{"everything", "--version", nullptr, nullptr, "show the version", ValueType::Flag, 0, 0},
     [](HostConfig& c, J, const Given&, std::string&) {
         c.version = true;
         return true;
     },
     nullptr},
};
const SettingTable<HostConfig> kDocumentTable = settingTable(kDocumentRows);
const SettingTable<HostConfig> kInfoTable = settingTable(kInfoRows);

}  // namespace

const std::vector<const OptionTable*>& optionTables() {
    static const Joined<std::vector<LineConfig>,
                        Member<std::vector<LineConfig>, &HostConfig::lines>>
        lines(lineOptions());
    static const Joined<HostConfig, Whole<HostConfig>> document(kDocumentTable);
    static const Joined<HostSettings, Whole<HostSettings>> host(hostOptions());
    static const Joined<HistoryOptions, Member<HistoryOptions, &HostConfig::history>> history(
        historyOptions());
    static const Joined<QualityOptions, WhenGiven<QualityOptions, &HostConfig::quality>> quality(
        qualityOptions());
    static const Joined<MqttOptions, WhenGiven<MqttOptions, &HostConfig::mqtt>> mqtt(mqttOptions());
    static const Joined<HttpOptions, WhenGiven<HttpOptions, &HostConfig::http>> http(httpOptions());
    static const Joined<ModbusServerOptions,
                        WhenGiven<ModbusServerOptions, &HostConfig::modbusServer>>
        modbusServer(modbusServerOptions());
    static const Joined<EnergyOptions, WhenGiven<EnergyOptions, &HostConfig::energy>> energy(
        energyOptions());
    static const Joined<HostConfig, Whole<HostConfig>> info(kInfoTable);
    static const std::vector<const OptionTable*> tables = {
        &lines, &document, &host, &history, &quality, &mqtt, &http, &modbusServer, &energy, &info};
    return tables;
}

}  // namespace vedhost

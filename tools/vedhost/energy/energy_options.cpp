// The energy accounting's settings.
#include "energy/energy_options.h"

namespace vedhost {
namespace {

using J = const Json::Value&;

const SettingRow<EnergyOptions> kRows[] = {
    {{"energy", "--energy", nullptr, "energy.enabled",
      "keep the energy ledger: the counters' totals past their 16-bit wrap, consumption\n"
      "per local hour, day, week, month and year, and demand (in the history's file\n"
      "when one is kept); on with any other energy setting",
      ValueType::Flag, 0, 0},
     [](EnergyOptions& e, J v, const Given&, std::string&) {
         e.enabled = v.asBool();
         return true;
     },
     [](const EnergyOptions& e) { return Json::Value(e.enabled); }},
    {{"energy", "--energy-currency", "TEXT", "energy.currency",
      "the tariffs' currency, as the outputs name it (default EUR)", ValueType::Text, 0, 0},
     [](EnergyOptions& e, J v, const Given&, std::string&) {
         e.currency = v.asString();
         return true;
     },
     [](const EnergyOptions& e) { return Json::Value(e.currency); }},
    {{"energy", "--energy-billing-day", "N", "energy.billing_day",
      "billing periods start on this day of the month (default 1)", ValueType::Integer, 1, 28},
     [](EnergyOptions& e, J v, const Given&, std::string&) {
         e.billingDay = static_cast<int>(v.asInt64());
         return true;
     },
     [](const EnergyOptions& e) { return Json::Value(e.billingDay); }},
    {{"energy", "--demand-minutes", "N", "energy.demand.minutes",
      "the demand window, aligned to the clock: 15, 30 or 60 minutes (default 15)",
      ValueType::Custom, 0, 0},
     [](EnergyOptions& e, J v, const Given& given, std::string& error) {
         // One of three lengths, from the command line's text or the document's number.
         const std::string text = given.source == Source::CommandLine ? v.asString()
                                  : v.isIntegral()                    ? valueText(v)
                                                                      : std::string();
         const long minutes = text == "15" ? 15 : text == "30" ? 30 : text == "60" ? 60 : 0;
         if (minutes == 0) {
             error = given.name + ": expected 15, 30 or 60, got " + valueText(v);
             return false;
         }
         e.demandMinutes = static_cast<int>(minutes);
         return true;
     },
     [](const EnergyOptions& e) { return Json::Value(e.demandMinutes); }},
    {{"energy", "--demand-sliding", nullptr, "energy.demand.sliding",
      "demand over a window that ends at every minute, not over fixed windows", ValueType::Flag, 0,
      0},
     [](EnergyOptions& e, J v, const Given&, std::string&) {
         e.demandSliding = v.asBool();
         return true;
     },
     [](const EnergyOptions& e) { return Json::Value(e.demandSliding); }},
    {{"energy", "--demand-limit-kw", "KW", "energy.demand.limit_kw",
      "raise a vedhost alarm while the window's projected demand would exceed KW", ValueType::Real,
      0.001, 1e6},
     [](EnergyOptions& e, J v, const Given&, std::string&) {
         e.demandLimitKw = v.asDouble();
         return true;
     },
     [](const EnergyOptions& e) {
         return e.demandLimitKw > 0 ? Json::Value(e.demandLimitKw) : Json::Value();
     }},
    {{"energy", nullptr, nullptr, "energy.tariffs",
      "time-of-use tariffs: [{\"valid_from\": \"2024-01-01\", \"standing_charge_per_day\":\n"
      "0.4, \"bands\": [{\"name\", \"days\", \"from\", \"to\", \"import_per_kwh\",\n"
      "\"export_per_kwh\"}]}]; whole hours, every hour of the week in one band",
      ValueType::Custom, 0, 0},
     [](EnergyOptions& e, J v, const Given& given, std::string& error) {
         std::vector<energy::Tariff> tariffs;
         if (!energy::parseTariffs(v, given.name, tariffs, error)) return false;
         e.tariffs = std::move(tariffs);
         return true;
     },
     [](const EnergyOptions& e) {
         return e.tariffs.empty() ? Json::Value() : energy::tariffsJson(e.tariffs);
     }},
};

const SettingTable<EnergyOptions> kTable = settingTable(kRows);

}  // namespace

const SettingTable<EnergyOptions>& energyOptions() { return kTable; }

}  // namespace vedhost

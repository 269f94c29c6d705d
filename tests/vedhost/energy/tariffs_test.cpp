// Tariff tables: the band of each hour, the tariff of each date, and the
// refusals of tables that leave an hour out or price one twice, each naming
// the member as the document spells it.
#include "energy/tariffs.h"

#include <gtest/gtest.h>

#include "common/json_file.h"

namespace vedhost::energy {
namespace {

Json::Value parsed(const std::string& text) {
    Json::Value v;
    std::string error;
    EXPECT_TRUE(parseJson(text, v, error)) << error << "\n" << text;
    return v;
}

// Weekdays: peak 07-22, night 22-07; the weekend one flat band. From 2025 a
// single flat price.
const char* const kPlan = R"([
  {"valid_from": "2025-01-01", "standing_charge_per_day": 0.5,
   "bands": [{"name": "flat", "from": "00:00", "to": "24:00", "import_per_kwh": 0.25}]},
  {"valid_from": "2024-01-01", "standing_charge_per_day": 0.4,
   "bands": [
     {"name": "peak", "days": ["mon", "tue", "wed", "thu", "fri"], "from": "07:00", "to": "22:00",
      "import_per_kwh": 0.32, "export_per_kwh": 0.08},
     {"name": "night", "days": ["mon", "tue", "wed", "thu", "fri"], "from": "22:00", "to": "07:00",
      "import_per_kwh": 0.18, "export_per_kwh": 0.05},
     {"name": "weekend", "days": ["sat", "sun"], "from": "00:00", "to": "24:00",
      "import_per_kwh": 0.2, "export_per_kwh": 0.06}]}
])";

TEST(EnergyTariffs, EachHourOfTheWeekHasItsBand) {
    TariffPlan plan;
    std::string error;
    ASSERT_TRUE(parseTariffs(parsed(kPlan), "energy.tariffs", plan.tariffs, error)) << error;
    ASSERT_EQ(plan.tariffs.size(), 2u);
    EXPECT_EQ(plan.tariffs[0].validFrom, 20240101);  // listed second, valid first
    const struct {
        int date, weekday, hour;
        const char* band;  // nullptr: no tariff yet
    } hours[] = {
        {20240304, 0, 6, "night"},    {20240304, 0, 7, "peak"},   {20240304, 0, 21, "peak"},
        {20240304, 0, 22, "night"},   {20240308, 4, 23, "night"}, {20240309, 5, 0, "weekend"},
        {20240310, 6, 23, "weekend"}, {20241231, 1, 12, "peak"},  {20250101, 2, 12, "flat"},
        {20231231, 6, 12, nullptr},
    };
    for (const auto& h : hours) {
        SCOPED_TRACE(std::to_string(h.date) + " " + std::to_string(h.hour));
        const Band* band = plan.bandOf(h.date, h.weekday, h.hour);
        if (h.band == nullptr) {
            EXPECT_EQ(band, nullptr);
            continue;
        }
        ASSERT_NE(band, nullptr);
        EXPECT_EQ(band->name, h.band);
    }
    EXPECT_DOUBLE_EQ(plan.at(20240615)->standingPerDay, 0.4);
    EXPECT_DOUBLE_EQ(plan.bandNamed(20240615, "night")->exportPrice, 0.05);
    EXPECT_EQ(plan.bandNamed(20250615, "night"), nullptr);
}

// A table around one weekday band: `bands` replaces the night band.
std::string withBands(const std::string& bands) {
    return R"([{"valid_from": "2024-01-01", "bands": [
      {"name": "peak", "days": ["mon", "tue", "wed", "thu", "fri"], "from": "07:00", "to": "22:00"},
      {"name": "weekend", "days": ["sat", "sun"], "from": "00:00", "to": "24:00"})" +
           bands + "]}]";
}

TEST(EnergyTariffs, TablesThatLeaveAnHourOutOrPriceOneTwiceAreRefusedByMember) {
    const struct {
        std::string table;
        const char* error;
    } cases[] = {
        {withBands(R"(,{"name": "night", "days": ["mon", "tue", "wed", "thu", "fri"],
                     "from": "21:00", "to": "07:00"})"),
         "energy.tariffs[0].bands[2] (\"night\"): overlaps \"peak\" on mon 21:00-22:00"},
        {withBands(R"(,{"name": "night", "days": ["mon", "tue", "wed", "thu", "fri"],
                     "from": "23:00", "to": "07:00"})"),
         "energy.tariffs[0].bands: mon 22:00-23:00 is in no band"},
        {withBands(R"(,{"name": "night", "days": ["mon", "tue", "wed", "thu"],
                     "from": "22:00", "to": "07:00"})"),
         "energy.tariffs[0].bands: fri 00:00-07:00 is in no band"},
        {withBands(R"(,{"name": "late", "days": ["sun"], "from": "22:00", "to": "07:00"})"),
         "energy.tariffs[0].bands[2] (\"late\"): overlaps \"weekend\" on sun 00:00-07:00"},
        {withBands(R"(,{"name": "night", "from": "22:30", "to": "07:00"})"),
         "energy.tariffs[0].bands[2].from: expected a whole hour \"00:00\"..\"24:00\", got "
         "\"22:30\""},
        {withBands(R"(,{"name": "night", "from": "22:00"})"),
         "energy.tariffs[0].bands[2].to: expected a whole hour \"00:00\"..\"24:00\", got nothing"},
        {withBands(R"(,{"name": "night", "days": ["mo"], "from": "22:00", "to": "07:00"})"),
         "energy.tariffs[0].bands[2].days: expected a list of mon, tue, wed, thu, fri, sat, sun"},
        {withBands(R"(,{"name": "night", "from": "07:00", "to": "07:00"})"),
         "energy.tariffs[0].bands[2]: from 07:00 to 07:00 covers no hour"},
        {withBands(R"(,{"name": "peak", "from": "22:00", "to": "07:00"})"),
         "energy.tariffs[0].bands[2].name: \"peak\" is named twice"},
        {withBands(R"(,{"name": "night", "from": "22:00", "to": "07:00", "price": 1})"),
         "energy.tariffs[0].bands[2].price: unknown member; energy.tariffs[0].bands[2] has name, "
         "days, from, to, import_per_kwh, export_per_kwh"},
        {withBands(
             R"(,{"name": "night", "from": "22:00", "to": "07:00", "import_per_kwh": "0.2"})"),
         "energy.tariffs[0].bands[2].import_per_kwh: expected a price per kWh"},
        {R"([{"valid_from": "2024-02-30", "bands": [{"name": "a", "from": "00:00", "to": "24:00"}]}])",
         "energy.tariffs[0].valid_from: expected a date such as \"2024-01-01\""},
        {R"([{"valid_from": "2024-01-01", "bands": [{"name": "a", "from": "00:00", "to": "24:00"}]},
             {"valid_from": "2024-01-01", "bands": [{"name": "b", "from": "00:00", "to": "24:00"}]}])",
         "energy.tariffs[1].valid_from: another tariff is valid from 2024-01-01 as well"},
        {R"([{"valid_from": "2024-01-01", "bands": []}])",
         "energy.tariffs[0].bands: expected a list of bands"},
        {R"({"valid_from": "2024-01-01"})",
         "energy.tariffs: expected a list of {\"valid_from\", \"standing_charge_per_day\", "
         "\"bands\"}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        std::vector<Tariff> tariffs;
        std::string error;
        EXPECT_FALSE(parseTariffs(parsed(c.table), "energy.tariffs", tariffs, error));
        EXPECT_EQ(error, c.error);
    }
}

TEST(EnergyTariffs, AWholeWeekOfOneBandAndItsWrittenForm) {
    std::vector<Tariff> tariffs;
    std::string error;
    ASSERT_TRUE(parseTariffs(parsed(kPlan), "energy.tariffs", tariffs, error)) << error;
    // What check-config shows reads back as the same table.
    std::vector<Tariff> again;
    ASSERT_TRUE(parseTariffs(tariffsJson(tariffs), "energy.tariffs", again, error)) << error;
    ASSERT_EQ(again.size(), tariffs.size());
    for (std::size_t t = 0; t < tariffs.size(); ++t) {
        EXPECT_EQ(again[t].validFrom, tariffs[t].validFrom);
        EXPECT_EQ(again[t].standingPerDay, tariffs[t].standingPerDay);
        for (int d = 0; d < 7; ++d)
            for (int h = 0; h < 24; ++h) EXPECT_EQ(again[t].bandAt[d][h], tariffs[t].bandAt[d][h]);
    }
}

}  // namespace
}  // namespace vedhost::energy

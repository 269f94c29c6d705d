// The time-of-use tariff the books and usage tests price by: peak on
// weekdays 07:00 to 22:00, nights between, a weekend band, 0.40 a day.
#pragma once

#include <gtest/gtest.h>
#include <json/value.h>

#include <string>

#include "common/json_file.h"
#include "energy/tariffs.h"

namespace vedhost::energy::test {

inline TariffPlan weekdayPlan() {
    Json::Value v;
    std::string error;
    parseJson(R"([{"valid_from": "2024-01-01", "standing_charge_per_day": 0.4, "bands": [
      {"name": "peak", "days": ["mon", "tue", "wed", "thu", "fri"], "from": "07:00", "to": "22:00",
       "import_per_kwh": 0.32, "export_per_kwh": 0.08},
      {"name": "night", "days": ["mon", "tue", "wed", "thu", "fri"], "from": "22:00", "to": "07:00",
       "import_per_kwh": 0.18, "export_per_kwh": 0.05},
      {"name": "weekend", "days": ["sat", "sun"], "from": "00:00", "to": "24:00",
       "import_per_kwh": 0.2, "export_per_kwh": 0.06}]}])",
              v, error);
    TariffPlan plan;
    plan.currency = "EUR";
    EXPECT_TRUE(parseTariffs(v, "energy.tariffs", plan.tariffs, error)) << error;
    return plan;
}

}  // namespace vedhost::energy::test

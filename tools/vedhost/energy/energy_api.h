// /api/energy?data_id=&counter=&period=&from=&to=: one meter's consumption
// per period (usage.h) as JSON. `counter` is a register's id
// (energy_fwd_active, the default); `period` hour, day (the default), week,
// month, year or billing; `from` and `to` unix seconds, `to` now and `from`
// a span back by default (two days of hours, 31 days, 26 weeks, a year of
// months or billing periods, ten years).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "energy/energy_sink.h"

namespace vedhost::energy {

// The HTTP status and the reply's JSON text ({"error": reason} for a
// refusal); `arg` gives a query argument or nullptr. `now` is unix seconds.
unsigned energyReply(EnergySink& sink, const std::function<const char*(const char*)>& arg,
                     std::int64_t now, std::string& reply);

}  // namespace vedhost::energy

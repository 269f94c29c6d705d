// /api/energy's arguments and answer: the refusals, each with its status
// and reason, and a day's consumption read through the sink's store; and
// `vedhost history --energy`'s lines and refusals.
#include "energy/energy_api.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "common/json_file.h"
#include "energy/energy_command.h"
#include "local_zone.h"

namespace vedhost::energy {
namespace {

namespace fs = std::filesystem;
using test::LocalZone;
using test::utc;

// The answer parsed, as a client reads it.
unsigned ask(EnergySink& sink, const std::map<std::string, std::string>& args, std::int64_t now,
             Json::Value& reply) {
    std::string text;
    const unsigned status = energyReply(
        sink,
        [&](const char* name) {
            const auto it = args.find(name);
            return it == args.end() ? nullptr : it->second.c_str();
        },
        now, text);
    std::string error;
    EXPECT_TRUE(vedhost::parseJson(text, reply, error)) << error << text;
    return status;
}

TEST(EnergyApi, ArgumentsCheckedAndADayAnswered) {
    LocalZone zone("UTC");
    char name[] = "/tmp/vedhost-energy-api-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    const fs::path dir = name;
    std::string error;
    {
        EnergyStore store;
        ASSERT_TRUE(store.open((dir / "h.db").string(), false, error)) << error;
        EnergySink sink(EnergyRules{}, &store);
        sink.addMeter(1, 0);
        // 36 kW for an hour from 10:00: 36 kWh on 2 May.
        std::uint16_t raw = 100;
        for (std::int64_t t = utc("2024-05-02T10:00:00"); t <= utc("2024-05-02T11:00:00");
             t += 10) {
            Reading r;
            r.raw[kImportActive] = raw++;
            r.power[kImportActive] = r.activePowerW = 36000;
            sink.round(1, t * 1000, r);
        }
        const std::int64_t now = utc("2024-05-03T12:00:00");
        const struct {
            std::map<std::string, std::string> args;
            unsigned status;
            const char* error;
        } refused[] = {
            {{}, 400, "data_id: expected a meter's data id"},
            {{{"data_id", "x"}}, 400, "data_id: expected a meter's data id"},
            {{{"data_id", "2"}}, 404, "no such meter"},
            {{{"data_id", "1"}, {"counter", "energy"}},
             400,
             "counter: expected energy_fwd_active, energy_rev_active, energy_fwd_reactive or "
             "energy_rev_reactive"},
            {{{"data_id", "1"}, {"period", "days"}},
             400,
             "period: expected hour, day, week, month, year or billing"},
            {{{"data_id", "1"}, {"from", "-1"}}, 400, "from: expected unix seconds"},
            {{{"data_id", "1"}, {"to", "soon"}}, 400, "to: expected unix seconds"},
            {{{"data_id", "1"}, {"from", "20"}, {"to", "10"}}, 400, "from is after to"},
        };
        for (const auto& r : refused) {
            SCOPED_TRACE(r.error);
            Json::Value reply;
            EXPECT_EQ(ask(sink, r.args, now, reply), r.status);
            EXPECT_EQ(reply["error"].asString(), r.error);
        }
        Json::Value reply;
        ASSERT_EQ(ask(sink, {{"data_id", "1"}}, now, reply), 200u) << reply.toStyledString();
        // The last 31 days by default.
        EXPECT_EQ(reply["to"].asInt64(), now);
        EXPECT_EQ(reply["from"].asInt64(), now - 31 * 86400);
        ASSERT_EQ(reply["periods"].size(), 1u);
        const Json::Value& day = reply["periods"][0];
        EXPECT_EQ(day["start"].asInt64(), utc("2024-05-02T00:00:00"));
        EXPECT_EQ(day["end"].asInt64(), utc("2024-05-03T00:00:00"));
        EXPECT_EQ(day["kwh"].asDouble(), 36.0);
        EXPECT_FALSE(day["estimated"].asBool());
        EXPECT_FALSE(day.isMember("cost")) << "no tariffs";

        ASSERT_EQ(ask(sink, {{"data_id", "1"}, {"period", "hour"}, {"from", "0"}}, now, reply),
                  200u);
        EXPECT_EQ(reply["periods"].size(), 1u);
        EXPECT_EQ(reply["period"], "hour");

        // Without the history there is nothing to answer from.
        EnergySink memory(EnergyRules{}, nullptr);
        memory.addMeter(1, 0);
        EXPECT_EQ(ask(memory, {{"data_id", "1"}}, now, reply), 404u);
        EXPECT_EQ(reply["error"].asString(), "no history is kept (see --history)");
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace vedhost::energy

namespace vedhost::energy {
namespace {

TEST(EnergyCommand, ListsPeriodsAndTheAuditAndRefusesWhatItCannotList) {
    LocalZone zone("UTC");
    char name[] = "/tmp/vedhost-energy-command-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    const fs::path dir = name;
    const std::string path = (dir / "h.db").string();
    std::string error;
    {
        EnergyStore store;
        ASSERT_TRUE(store.open(path, false, error)) << error;
        EnergySink sink(EnergyRules{}, &store);
        sink.addMeter(4, 0);
        // 23:00 to 01:00 at 36 kW, a count every 10 s: 36 kWh each side of
        // midnight; 535 counts from 65000 to the top, the wrap at the 536th,
        // 5360 s after 23:00.
        std::uint16_t raw = 65000;
        for (std::int64_t t = utc("2024-05-01T23:00:00"); t <= utc("2024-05-02T01:00:00");
             t += 10) {
            Reading r;
            r.raw[kImportActive] = raw++;
            r.power[kImportActive] = r.activePowerW = 36000;
            sink.round(4, t * 1000, r);
        }
    }
    std::ostringstream out, err;
    EnergyListing days{path, std::nullopt, "", "", false, "day", "", std::nullopt};
    EXPECT_EQ(runEnergyCommand(days, out, err), 0) << err.str();
    EXPECT_EQ(out.str(),
              "data_id,counter,period,start,end,kwh,estimated_kwh\n"
              "4,energy_fwd_active,day,2024-05-01T00:00:00+00:00,2024-05-02T00:00:00+00:00,36,0\n"
              "4,energy_fwd_active,day,2024-05-02T00:00:00+00:00,2024-05-03T00:00:00+00:00,36,0\n");
    EXPECT_EQ(err.str(), "vedhost: 2 periods\n");

    std::ostringstream audit, auditErr;
    EnergyListing rows{path, 4, "", "", false, "audit", "", std::nullopt};
    EXPECT_EQ(runEnergyCommand(rows, audit, auditErr), 0);
    EXPECT_EQ(audit.str(),
              "data_id,counter,time,kind,old,new,epoch,total\n"
              "4,energy_fwd_active,2024-05-02T00:29:20+00:00,wrap,6553.5,0,0,6553.6\n");

    const struct {
        EnergyListing listing;
        std::string error;
    } refused[] = {
        {{path, std::nullopt, "", "", false, "days", "", std::nullopt},
         "vedhost: --energy: expected hour, day, week, month, year, billing or audit, got "
         "\"days\"\n"},
        {{path, std::nullopt, "", "", false, "day", "energy", std::nullopt},
         "vedhost: --counter: expected energy_fwd_active, energy_rev_active, energy_fwd_reactive "
         "or energy_rev_reactive, got \"energy\"\n"},
    };
    for (const auto& r : refused) {
        std::ostringstream o, e;
        EXPECT_EQ(runEnergyCommand(r.listing, o, e), 2);
        EXPECT_EQ(e.str(), r.error);
        EXPECT_EQ(o.str(), "");
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace vedhost::energy

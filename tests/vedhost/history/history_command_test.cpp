// `vedhost history`: its arguments, and the command run on a real SQLite file.
#include "history/history_command.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "common/local_time.h"
#include "history/history_store.h"
#include "ved96/record.h"

namespace vedhost {
namespace {

namespace fs = std::filesystem;

TEST(ParseHistoryCommand, FileAndOptionalDataId) {
    HistoryQuery query;
    std::string error;
    ASSERT_TRUE(parseHistoryCommand({"h.db", "--data-id", "3"}, query, error));
    EXPECT_EQ(query.path, "h.db");
    EXPECT_EQ(query.dataId, 3u);
    EXPECT_FALSE(parseHistoryCommand({}, query, error));
    EXPECT_FALSE(parseHistoryCommand({"h.db", "--data-id"}, query, error));
    EXPECT_FALSE(parseHistoryCommand({"h.db", "other.db"}, query, error));
}

TEST(ParseHistoryCommand, EachOptionReachesTheQuery) {
    HistoryQuery query;
    std::string error;
    ASSERT_TRUE(parseHistoryCommand({"h.db", "--until", "2024-03-07 10:00", "--resolution", "15m",
                                     "--format", "json", "--info"},
                                    query, error))
        << error;
    EXPECT_EQ(query.until, "2024-03-07T10:00:00");
    EXPECT_TRUE(query.since.empty());
    EXPECT_EQ(query.resolution, "15m");
    EXPECT_EQ(query.format, HistoryQuery::Format::Json);
    EXPECT_TRUE(query.info);
    EXPECT_FALSE(query.dataId.has_value());

    // The supply quality's ten-minute values: a meter and a span of them.
    ASSERT_TRUE(parseHistoryCommand(
        {"h.db", "--quality", "--data-id", "2", "--since", "2026-11-30", "--format", "csv"}, query,
        error))
        << error;
    EXPECT_TRUE(query.quality);
    EXPECT_EQ(query.dataId, 2u);
    EXPECT_EQ(query.since, "2026-11-30T00:00:00");

    // The messages a user meets, whole.
    constexpr const char* kQualityAlone =
        "history: --quality gives the ten-minute values as CSV; it goes with --data-id, --since"
        " and --until only";
    const struct {
        std::vector<std::string> args;
        const char* message;
    } rows[] = {
        {{"h.db", "--until", "10:00"},
         "--until: expected a local time such as 2024-03-07T09:05:02 or \"2024-03-07 09:05\", "
         "got \"10:00\""},
        {{"h.db", "--data-id", "0"}, "--data-id: expected a number 1..2147483647"},
        {{"h.db", "--data-id", "2147483648"}, "--data-id: expected a number 1..2147483647"},
        {{"--info"}, "history: give the history FILE"},
        {{"h.db", "--config", "/no/such.json"}, "cannot read /no/such.json"},
        {{"h.db", "--quality", "--info"}, kQualityAlone},
        {{"h.db", "--quality", "--resolution", "15m"}, kQualityAlone},
        {{"h.db", "--quality", "--format", "json"}, kQualityAlone},
        {{"h.db", "--quality", "--presentation", "p.json"}, kQualityAlone},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        EXPECT_FALSE(parseHistoryCommand(row.args, query, error));
        EXPECT_EQ(error, row.message);
    }
}

// A record of one meter with a voltage to tell it by.
std::vector<unsigned char> record(unsigned dataId, std::uint16_t voltage) {
    ved96_Data_t data{};
    data.data_id = dataId;
    data.phase_voltage_a = voltage;
    std::vector<unsigned char> out(sizeof data);
    std::memcpy(out.data(), &data, sizeof data);
    return out;
}

class HistoryCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/vedhost-history-command-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        db_ = (dir_ / "h.db").string();
        // Meter 1 at 09:00, 09:01 and 09:02 local time, meter 2 at 09:01.
        HistoryStore store;
        std::string error;
        ASSERT_TRUE(store.open(db_, false, error)) << error;
        const struct {
            unsigned dataId;
            const char* time;
        } saved[] = {{1, "2024-03-07T09:00:00"},
                     {1, "2024-03-07T09:01:00"},
                     {2, "2024-03-07T09:01:00"},
                     {1, "2024-03-07T09:02:00"}};
        for (const auto& s : saved) {
            const auto ms = localTextToUnixMs(s.time);
            ASSERT_TRUE(ms.has_value()) << s.time;
            const std::vector<unsigned char> r = record(s.dataId, 2300);
            ASSERT_TRUE(store.save(s.dataId, *ms, s.time, r.data(), r.size(), error)) << error;
        }
        store.flush();
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs the command; the exit status, with what it wrote to out and err.
    int run(const std::vector<std::string>& args) {
        std::vector<std::string> all{db_};
        all.insert(all.end(), args.begin(), args.end());
        HistoryQuery query;
        std::string error;
        EXPECT_TRUE(parseHistoryCommand(all, query, error)) << error;
        out_.str("");
        err_.str("");
        return runHistoryCommand(query, out_, err_);
    }
    std::size_t lines() const {
        const std::string text = out_.str();
        return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    }

    fs::path dir_;
    std::string db_;
    std::ostringstream out_, err_;
};

TEST_F(HistoryCommand, ListsTheRecordsAMeterAndATimeSpanAskFor) {
    const struct {
        std::vector<std::string> args;
        std::size_t records;
    } rows[] = {
        {{}, 4},
        {{"--data-id", "1"}, 3},
        {{"--data-id", "2"}, 1},
        {{"--data-id", "3"}, 0},
        // --since at or after, --until before: local times to the second.
        {{"--since", "2024-03-07 09:01"}, 3},
        {{"--until", "2024-03-07 09:01"}, 1},
        {{"--since", "2024-03-07T09:00:01", "--until", "2024-03-07T09:02:00"}, 2},
        {{"--since", "2024-03-08"}, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        EXPECT_EQ(run(row.args), 0) << err_.str();
        EXPECT_EQ(err_.str(), "vedhost: " + std::to_string(row.records) + " records\n");
        // JSON lines: one per record.
        EXPECT_EQ(run([&] {
                      auto json = row.args;
                      json.insert(json.end(), {"--format", "json"});
                      return json;
                  }()),
                  0);
        EXPECT_EQ(lines(), row.records) << out_.str();
    }
}

TEST_F(HistoryCommand, AResolutionTheFileDoesNotKeepIsRefusedNamingThoseItKeeps) {
    EXPECT_EQ(run({"--resolution", "5m"}), 2);
    EXPECT_EQ(out_.str(), "");
    EXPECT_EQ(err_.str(),
              "vedhost: history: --resolution \"5m\" is not kept in this file (it keeps full, 1m, "
              "15m, 1d)\n");
    EXPECT_EQ(run({"--resolution", "15m"}), 0) << err_.str();
    EXPECT_EQ(err_.str().substr(err_.str().size() - 6), " rows\n") << err_.str();
}

TEST_F(HistoryCommand, InfoAndAMissingFile) {
    EXPECT_EQ(run({"--info"}), 0);
    EXPECT_NE(out_.str(), "");
    EXPECT_EQ(err_.str(), "");

    HistoryQuery query;
    query.path = (dir_ / "none.db").string();
    std::ostringstream out, err;
    EXPECT_EQ(runHistoryCommand(query, out, err), 2);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str().rfind("vedhost: ", 0), 0u) << err.str();
    EXPECT_NE(err.str().find("none.db"), std::string::npos) << err.str();
}

}  // namespace
}  // namespace vedhost

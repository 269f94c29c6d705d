// The host's own sinks of a round's report: the report stream's line, byte
// for byte, and the console table in the presentation it is meant to show.
#include "runtime/report_sinks.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include "presentation/report_table.h"
#include "tests/support/line_file.h"

namespace vedhost {
namespace {

Round roundWith(const std::string& text) {
    Round round;
    round.dataId = 7;
    round.line = "rtu /dev/ttyS1";
    round.slave = 3;
    round.reportText = text;
    Json::Reader().parse(text, round.report);
    return round;
}

TEST(ReportStream, OneLinePerRoundNamingItsMeterThenThePluginsTextAsItIs) {
    testlines::LineFile out;
    ASSERT_TRUE(out.opened());
    ReportStream stream(out.sink);
    // The plug-in's text is not re-encoded: spacing and number forms stay.
    stream.round(roundWith(R"({"A相电压":2301.0, "频率" : 5e1})"));
    Round without = roundWith("{}");
    without.reportText.reset();
    stream.round(without);  // a round without its report has no line

    EXPECT_EQ(out.text(),
              "{\"data_id\":7,\"line\":\"rtu /dev/ttyS1\",\"slave\":3,"
              "\"report\":{\"A相电压\":2301.0, \"频率\" : 5e1}}\n");
}

TEST(ReportConsole, ShowsWhatTheMeterSendsUnlessTheUserChoseAPresentation) {
    const Round round = roundWith(R"({"A相电压":2301.0})");
    Json::Value style;
    Json::Reader().parse(R"({"phase_voltage_a": {"label": "Va", "scale": 0.1, "unit": "V"}})",
                         style);
    Presentation chosen;
    std::string error;
    ASSERT_TRUE(chosen.parse(style, error)) << error;
    const struct {
        const char* what;
        Presentation given, shown;
    } rows[] = {
        {"the built-in presentation", Presentation::builtIn(), Presentation()},
        {"the user's", chosen, chosen},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ReportConsole console(row.given);
        testing::internal::CaptureStdout();
        console.round(round);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, reportTable(round.report, 7, row.shown));
    }
    // The two tables differ, so the rows above tell them apart.
    EXPECT_NE(reportTable(round.report, 7, Presentation()), reportTable(round.report, 7, chosen));
}

}  // namespace
}  // namespace vedhost

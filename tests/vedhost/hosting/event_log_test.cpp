// The event log's lines: one JSON object each, UTF-8 kept, control input as hex.
#include "hosting/event_log.h"

#include <gtest/gtest.h>
#include <json/reader.h>

namespace vedhost {
namespace {

TEST(EventLines, OneLineWithUtf8KeptAndCommonMembers) {
    Json::Value e = makeEvent("CheckThresholdBool", 7);
    e["message"] = "A相过压告警\n第二行";
    const std::string line = compactJson(e);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_NE(line.find("A相过压告警"), std::string::npos) << line;

    Json::Value back;
    ASSERT_TRUE(Json::Reader().parse(line, back));
    EXPECT_EQ(back["event"], "CheckThresholdBool");
    EXPECT_EQ(back["data_id"].asUInt(), 7u);
    EXPECT_EQ(back["message"], "A相过压告警\n第二行");
    // 2024-03-07T09:05:02.123
    const std::string time = back["time"].asString();
    ASSERT_EQ(time.size(), 23u) << time;
    EXPECT_EQ(time[10], 'T');
    EXPECT_EQ(time[19], '.');
}

TEST(EventLines, ControlInputAsHex) {
    const unsigned char in[] = {0x78, 0x17, 0x02, 0x00, 0xff};
    EXPECT_EQ(hexBytes(in, sizeof in), "78170200ff");
    EXPECT_EQ(hexBytes(nullptr, 4), "");
}

}  // namespace
}  // namespace vedhost

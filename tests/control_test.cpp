// Control requests: register writes and their outcome, JSON commands passed
// on to the host, and the report handed out as text or as a document.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_host.h"
#include "ved96/ved96.h"

namespace {

std::time_t g_now = 1700000000;
std::time_t fixedClock() { return g_now; }

class Control : public ::testing::Test {
  protected:
    fake::Host host;
    ved96 meter;
    std::string console;

    Control() { meter.timeSource_ = fixedClock; }

    int request(int code, const void* in, int inLen, void* out, int outLen, int& outLenRet) {
        testing::internal::CaptureStdout();
        const int result = meter.DeviceIoControl(code, in, inLen, out, outLen, outLenRet);
        console = testing::internal::GetCapturedStdout();
        return result;
    }
    // A write request from input words; inLen -1 sends them all.
    int write(int code, const std::vector<std::uint16_t>& words, int inLen = -1) {
        int ret = -7;
        return request(code, words.data(), inLen < 0 ? static_cast<int>(2 * words.size()) : inLen,
                       nullptr, 0, ret);
    }
    // The last write outcome, read back through a code the device passes on.
    std::int32_t writeOutcome() {
        std::int32_t outcome = 99;
        int ret = -7;
        request(999, nullptr, 0, &outcome, sizeof outcome, ret);
        EXPECT_EQ(ret, 4);
        return outcome;
    }
    void completeRound() {
        g_now += 10;
        testing::internal::CaptureStdout();
        meter.RoundDone();
        testing::internal::GetCapturedStdout();
    }
};

TEST_F(Control, EveryRequestIsAnnouncedOnTheConsole) {
    for (int code : {206, 210, 310, 320, 801, 803, 999}) {
        int ret = 0;
        request(code, nullptr, 0, nullptr, 0, ret);
        EXPECT_EQ(console, "ved96::DeviceIoControl " + std::to_string(code) + "\n");
    }
}

TEST_F(Control, WriteOneRegisterAndReadItsOutcome) {
    EXPECT_EQ(write(206, {6000, 1}), 0);
    EXPECT_EQ(meter.curTab_, 206);
    EXPECT_EQ(meter.writeExpected_, 1);
    EXPECT_EQ(meter.writeResult_, -1);
    EXPECT_EQ(host.meter.opens, 1);
    EXPECT_EQ(writeOutcome(), -1) << "no reply yet";
    EXPECT_EQ(host.services.calls, std::vector<std::string>{"DeviceIoControl(999,0,4)"});

    EXPECT_EQ(host::pump(meter), 1);
    ASSERT_EQ(host.meter.requests.size(), 1u);
    const auto& sent = host.meter.requests[0];
    EXPECT_EQ(sent.function, host::ModbusRequest::WriteSingle);
    EXPECT_EQ(sent.address, 6000);
    EXPECT_EQ(sent.values, std::vector<std::uint16_t>{1});
    EXPECT_EQ(writeOutcome(), 1) << "acknowledged";
}

TEST_F(Control, RefusedWriteReadsBackAsThree) {
    host.meter.refused.insert(6001);
    EXPECT_EQ(write(206, {6001, 5}), 0);
    host::pump(meter);
    EXPECT_EQ(writeOutcome(), 3);
}

TEST_F(Control, WriteSeveralRegistersIgnoringAnOddTrailingByte) {
    for (int inLen : {8, 9}) {
        SCOPED_TRACE(inLen);
        host.meter.requests.clear();
        EXPECT_EQ(write(210, {6000, 1, 2, 3, 0xEEEE}, inLen), 0);
        EXPECT_EQ(meter.curTab_, 210);
        EXPECT_EQ(meter.writeExpected_, 3);
        EXPECT_EQ(meter.writeResult_, -1);
        host::pump(meter);
        ASSERT_EQ(host.meter.requests.size(), 1u);
        const auto& sent = host.meter.requests[0];
        EXPECT_EQ(sent.function, host::ModbusRequest::WriteMultiple);
        EXPECT_EQ(sent.address, 6000);
        EXPECT_EQ(sent.values, (std::vector<std::uint16_t>{1, 2, 3}));
        EXPECT_EQ(meter.writeResult_, 1);
    }
}

TEST_F(Control, WriteRequestsWithoutUsableInputAreRefused) {
    const std::vector<std::uint16_t> words(130, 7);
    const struct {
        const char* name;
        int code;
        const void* in;
        int inLen;
    } cases[] = {
        {"206 without input", 206, nullptr, 4},
        {"206 with one word", 206, words.data(), 2},
        {"206 with a negative length", 206, words.data(), -4},
        {"210 without input", 210, nullptr, 8},
        {"210 with no value", 210, words.data(), 3},
        {"210 with a negative length", 210, words.data(), -8},
        {"210 beyond one write request", 210, words.data(), 2 + 2 * 124},
    };
    // Whatever the previous write's outcome (pending or acknowledged), the
    // refused request's outcome is read back as refused; nothing goes out and
    // the poll stage stays the round's.
    for (const int previous : {-1, 1}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + ", previous outcome " + std::to_string(previous));
            meter.curTab_ = 11;
            meter.writeResult_ = previous;
            meter.writeExpected_ = 42;
            int ret = -7;
            EXPECT_EQ(request(c.code, c.in, c.inLen, nullptr, 0, ret), -1);
            EXPECT_EQ(meter.curTab_, 11);
            EXPECT_EQ(meter.writeResult_, 3);
            EXPECT_EQ(meter.writeExpected_, 42);
            EXPECT_EQ(ret, -7);
            EXPECT_EQ(writeOutcome(), 3);
        }
    }
    EXPECT_EQ(host.meter.opens, 0);
    EXPECT_FALSE(meter.hasRequest());
    host.services.calls.erase(std::remove(host.services.calls.begin(), host.services.calls.end(),
                                          "DeviceIoControl(999,0,4)"),
                              host.services.calls.end());
    EXPECT_TRUE(host.services.calls.empty()) << "only the outcome reads reach the host";

    EXPECT_EQ(write(210, words, 2 + 2 * 123), 0) << "123 values fit";
    EXPECT_EQ(meter.writeExpected_, 123);
}

TEST_F(Control, JsonCommandsArePassedOnOnlyWhenTheyParse) {
    host.services.ioControlResult = 7;
    const std::string good = R"({"signal_id":"00100000001"})";
    const struct {
        const char* name;
        int code;
        int scheme;
        std::string text;
        int inLen;  // -1: the text's length
        int result;
        bool passedOn;
    } cases[] = {
        {"310 parses", 310, 1, good, -1, 7, true},
        {"310 lone brace", 310, 1, "{", -1, -1, false},
        {"310 negative length", 310, 1, good, -5, -1, false},
        {"320 lone brace, file scheme", 320, 1, "{", -1, 7, true},
        {"320 lone brace, threshold scheme", 320, 5, "{", -1, -1, false},
        {"320 parses, threshold scheme", 320, 5, good, -1, 7, true},
        {"320 negative length", 320, 1, good, -5, -1, false},
        // Deeper than the reader goes: a failed parse, not an exception.
        {"310 nested 1001 deep", 310, 1, std::string(1001, '['), -1, -1, false},
        {"310 nested 100000 deep", 310, 1, std::string(100000, '{'), -1, -1, false},
        {"320 nested 1001 deep, threshold scheme", 320, 5,
         std::string(1001, '[') + std::string(1001, ']'), -1, -1, false},
        {"320 nested 1001 deep, file scheme", 320, 1, std::string(1001, '['), -1, 7, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host.services.calls.clear();
        host.meter.opens = 0;
        meter.b_mode_ = c.scheme;
        meter.writeResult_ = 1;
        const int inLen = c.inLen == -1 ? static_cast<int>(c.text.size()) : c.inLen;
        int ret = 0;
        EXPECT_EQ(request(c.code, c.text.data(), inLen, nullptr, 0, ret), c.result);
        EXPECT_EQ(meter.curTab_, c.code);
        EXPECT_EQ(meter.writeResult_, -1);
        EXPECT_EQ(host.meter.opens, 1);
        const std::vector<std::string> passed = {"DeviceIoControl(" + std::to_string(c.code) + "," +
                                                 std::to_string(inLen) + ",0)"};
        EXPECT_EQ(host.services.calls, c.passedOn ? passed : std::vector<std::string>{});
    }
}

TEST_F(Control, ReportAsTextFitsOrIsRefusedWithItsLength) {
    meter.data_.phase_voltage_a = 230;
    completeRound();

    std::vector<char> big(100000, 'x');
    int needed = 0;
    ASSERT_EQ(request(801, nullptr, 0, big.data(), static_cast<int>(big.size()), needed), 0);
    ASSERT_GT(needed, 0);
    const std::string text(big.data(), static_cast<std::size_t>(needed));
    EXPECT_EQ(text.back(), '\n');
    Json::Value report;
    std::string errors;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    ASSERT_TRUE(reader->parse(text.data(), text.data() + text.size(), &report, &errors));
    EXPECT_EQ(report["A相电压"].asDouble(), 230);

    std::vector<char> out(static_cast<std::size_t>(needed) + 1, 'x');
    int ret = 0;
    EXPECT_EQ(request(801, nullptr, 0, out.data(), needed - 1, ret), -1);
    EXPECT_EQ(ret, needed);
    EXPECT_EQ(std::string(out.begin(), out.end()), std::string(out.size(), 'x')) << "untouched";

    EXPECT_EQ(request(801, nullptr, 0, out.data(), needed, ret), 0);
    EXPECT_EQ(ret, needed);
    EXPECT_EQ(std::string(out.data(), static_cast<std::size_t>(needed)), text);
    EXPECT_EQ(out.back(), 'x') << "no terminator";

    EXPECT_EQ(request(801, nullptr, 0, nullptr, needed, ret), -1);
    EXPECT_EQ(request(801, nullptr, 0, out.data(), -1, ret), -1);
    EXPECT_EQ(ret, needed);
    EXPECT_TRUE(host.services.only("DeviceIoControl").empty());
}

TEST_F(Control, ReportDocumentIsHandedOutByAddress) {
    completeRound();
    meter.curTab_ = 11;
    meter.writeResult_ = 3;
    const int size = static_cast<int>(sizeof(void*));
    Json::Value* document = nullptr;
    int ret = 0;
    EXPECT_EQ(request(803, nullptr, 0, &document, size, ret), 0);
    EXPECT_EQ(ret, size);
    EXPECT_EQ(document, &meter.jsonData_);
    EXPECT_TRUE(document->isMember("A相电压"));

    document = nullptr;
    EXPECT_EQ(request(803, nullptr, 0, &document, size - 1, ret), -1);
    EXPECT_EQ(ret, size);
    EXPECT_EQ(document, nullptr);
    EXPECT_EQ(request(803, nullptr, 0, nullptr, size, ret), -1);

    EXPECT_EQ(meter.curTab_, 11);
    EXPECT_EQ(meter.writeResult_, 3);
    EXPECT_TRUE(host.services.calls.empty() || host.services.only("DeviceIoControl").empty());
}

TEST_F(Control, OtherCodesLeaveTheOutcomeOutOfASmallBuffer) {
    meter.writeResult_ = 1;
    const struct {
        const char* name;
        bool withBuffer;
        int outLen;
        int outLenRet;
    } cases[] = {
        {"four bytes", true, 4, 4},
        {"three bytes", true, 3, 0},
        {"negative length", true, -4, 0},
        {"no buffer", false, 4, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host.services.calls.clear();
        std::int32_t out = 99;
        int ret = -7;
        request(512, nullptr, 0, c.withBuffer ? &out : nullptr, c.outLen, ret);
        EXPECT_EQ(ret, c.outLenRet);
        EXPECT_EQ(out, c.outLenRet == 4 ? 1 : 99);
        EXPECT_EQ(host.services.calls, std::vector<std::string>{"DeviceIoControl(512,0," +
                                                                std::to_string(c.outLen) + ")"});
    }
}

}  // namespace

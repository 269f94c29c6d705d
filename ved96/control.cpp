#include <json/reader.h>
#include <json/writer.h>

#include <cstdint>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ved96/control_codes.h"
#include "ved96/polling.h"
#include "ved96/ved96.h"

namespace {

using ved96_control::kJsonCommand;
using ved96_control::kJsonSettingCommand;
using ved96_control::kReportDocument;
using ved96_control::kReportText;
using ved96_control::kWriteRegister;
using ved96_control::kWriteRegisters;

// Most registers one Modbus write request (function 16) may carry.
constexpr int kMaxWriteRegisters = 123;

// Word i of a request input, in host byte order; the input need not be aligned.
std::uint16_t inputWord(const void* in, int i) {
    std::uint16_t word;
    std::memcpy(&word, static_cast<const unsigned char*>(in) + 2 * i, sizeof word);
    return word;
}

bool parsesAsJson(const void* in, int inLen) {
    if (in == nullptr || inLen < 0) return false;
    const char* text = static_cast<const char*>(in);
    Json::Value request;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::Reader reader;
    // The reader throws for text nested beyond its stack limit; that text does
    // not parse either, and a remote request must not end the host.
    try {
        return reader.parse(text, text + inLen, request, true);
    } catch (const std::exception&) {
        return false;
    }
#pragma GCC diagnostic pop
}

}  // namespace

// A write request that cannot go out: nothing is sent and the poll stage is
// left to the round, but a caller reading the outcome next must see this
// request refused, not the previous write's pending or acknowledged outcome.
int ved96::refuseWrite() {
    writeResult_ = kWriteRefused;
    return -1;
}

int ved96::DeviceIoControl(int code, const void* in, int inLen, void* out, int outLen,
                           int& outLenRet) {
    std::cout << "ved96::DeviceIoControl " << code << std::endl;
    switch (code) {
        case kWriteRegister: {
            // Address and value; without both there is nothing to write, and
            // the outcome says so rather than keeping the previous write's.
            if (in == nullptr || inLen < 4) return refuseWrite();
            const std::uint16_t address = inputWord(in, 0);
            const std::uint16_t value = inputWord(in, 1);
            curTab_ = kWriteSingleStage;
            writeResult_ = -1;
            OpenPort();
            writeExpected_ = value;
            modbus_write_register(address, value);
            return 0;
        }
        case kWriteRegisters: {
            // Start address, then the values; an odd trailing byte is ignored.
            if (in == nullptr || inLen < 4) return refuseWrite();
            const int count = inLen / 2 - 1;
            if (count > kMaxWriteRegisters) return refuseWrite();
            std::vector<unsigned short> values(static_cast<std::size_t>(count));
            for (int i = 0; i < count; ++i)
                values[static_cast<std::size_t>(i)] = inputWord(in, i + 1);
            curTab_ = kWriteMultipleStage;
            writeResult_ = -1;
            OpenPort();
            writeExpected_ = count;
            modbus_write_registers(inputWord(in, 0), count, values.data());
            return 0;
        }
        case kJsonCommand:
        case kJsonSettingCommand: {
            curTab_ = code;
            writeResult_ = -1;
            OpenPort();
            // In the file scheme the host alone reads setting commands; a
            // negative length is refused whatever the scheme.
            const bool mustParse = code == kJsonCommand || b_mode_ != 1;
            if (inLen < 0 || (mustParse && !parsesAsJson(in, inLen))) return -1;
            return SPModbus::DeviceIoControl(code, in, inLen, out, outLen, outLenRet);
        }
        case kReportText: {
            GenJsonData();
            std::string text;
            {
                // Serialised under the report lock: a round may be rebuilding
                // the report on another thread.
                std::lock_guard<std::mutex> lock(jsonMutex_);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
                Json::FastWriter writer;
                text = writer.write(jsonData_);
#pragma GCC diagnostic pop
            }
            const int length = static_cast<int>(text.size());
            outLenRet = length;
            if (out == nullptr || outLen < length) return -1;
            std::memcpy(out, text.data(), text.size());
            return 0;
        }
        case kReportDocument: {
            GenJsonData();
            const Json::Value* document = &jsonData_;
            outLenRet = static_cast<int>(sizeof document);
            if (out == nullptr || outLen < static_cast<int>(sizeof document)) return -1;
            std::memcpy(out, &document, sizeof document);
            return 0;
        }
        default:
            // The outcome of the last register write goes first, for the
            // caller that polls it; the host's handler does the rest.
            if (out != nullptr && outLen > 3) {
                const std::int32_t outcome = writeResult_;
                std::memcpy(out, &outcome, sizeof outcome);
                outLenRet = static_cast<int>(sizeof outcome);
            } else {
                outLenRet = 0;
            }
            return SPModbus::DeviceIoControl(code, in, inLen, out, outLen, outLenRet);
    }
}

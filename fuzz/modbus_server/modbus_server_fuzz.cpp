// The Modbus server's frame handling with any byte stream a client may send:
// frames are taken off it one after the other and answered as the server
// does, from a meter with a record, one without, and writes allowed on part
// of the map. Every answer must be one whole Modbus TCP frame that names the
// request's transaction and unit; a frame may never be taken past the bytes
// that came.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "modbus_server/register_map.h"
#include "modbus_server/server_answers.h"

namespace {

using namespace vedhost;

const ServedMeters& meters() {
    static ServedMeters* served = [] {
        auto* m = new ServedMeters({{1, 1}, {2, 2}}, {{1, 6008, 6017}}, std::chrono::hours(1));
        std::vector<std::uint8_t> record(kRecordBytes, 0xA5);
        m->round(1, record.data(), record.size());
        return m;
    }();
    return *served;
}

void check(const Frame& frame, const std::vector<std::uint8_t>& reply) {
    if (reply.size() < kMbapBytes + 2 || reply.size() > kMaxFrameBytes) std::abort();
    const std::size_t length = static_cast<std::size_t>(reply[4] << 8 | reply[5]);
    if (length + 6 != reply.size()) std::abort();
    if ((reply[0] << 8 | reply[1]) != frame.transaction || reply[2] != 0 || reply[3] != 0 ||
        reply[6] != frame.unit || (reply[7] & 0x7F) != (frame.pdu[0] & 0x7F))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    while (at < size) {
        Frame frame;
        std::size_t used = 0;
        const Take took = takeFrame(data + at, size - at, frame, used);
        if (took != Take::Whole) break;
        if (used == 0 || used > size - at || frame.pdu.empty()) std::abort();
        at += used;
        const Decision d = decide(frame, meters());
        if (d.kind == Decision::Kind::Close) break;
        if (d.kind == Decision::Kind::Reply) {
            check(frame, d.reply);
            continue;
        }
        for (WriteOutcome o :
             {WriteOutcome::Acknowledged, WriteOutcome::Refused, WriteOutcome::NoReply})
            check(frame, writeAnswer(frame, d.request, o));
    }
    return 0;
}

#include "modbus_server/server_answers.h"

#include "modbus_server/register_map.h"

namespace vedhost {
namespace {

Decision reply(std::vector<std::uint8_t> bytes) {
    Decision d;
    d.reply = std::move(bytes);
    return d;
}

}  // namespace

Decision decide(const Frame& frame, const ServedMeters& meters,
                ServedMeters::Clock::time_point now) {
    Request request;
    const Parse parsed = parseRequest(frame.pdu, request);
    if (parsed == Parse::Malformed) {
        Decision d;
        d.kind = Decision::Kind::Close;
        return d;
    }
    if (request.kind == Request::Kind::Other) return reply(exceptionReply(frame, kIllegalFunction));
    const std::optional<unsigned> dataId = meters.meterOf(frame.unit);
    if (!dataId) return reply(exceptionReply(frame, kGatewayPathUnavailable));
    if (parsed == Parse::BadValue) return reply(exceptionReply(frame, kIllegalDataValue));

    if (request.kind == Request::Kind::Read) {
        if (!polledRange(request.address, request.count))
            return reply(exceptionReply(frame, kIllegalDataAddress));
        std::vector<std::uint16_t> words;
        if (meters.read(*dataId, request.address, request.count, now, words) !=
            ServedMeters::Read::Ok)
            return reply(exceptionReply(frame, kGatewayTargetFailed));
        return reply(readReply(frame, words));
    }

    Decision d;
    d.request = request;
    d.dataId = *dataId;
    if (!meters.writable(*dataId, request.address, request.count)) {
        d.reply = writeAnswer(frame, request, WriteOutcome::NotAllowed);
        d.refusedWrite = true;
        return d;
    }
    d.kind = Decision::Kind::Write;
    return d;
}

const char* outcomeText(WriteOutcome outcome) {
    switch (outcome) {
        case WriteOutcome::Acknowledged:
            return "acknowledged";
        case WriteOutcome::Refused:
            return "refused";
        case WriteOutcome::NoReply:
            return "no reply";
        case WriteOutcome::NotAllowed:
            break;
    }
    return "not allowed";
}

std::vector<std::uint8_t> writeAnswer(const Frame& frame, const Request& request,
                                      WriteOutcome outcome) {
    switch (outcome) {
        case WriteOutcome::Acknowledged:
            return writeReply(frame, request);
        case WriteOutcome::Refused:
            return exceptionReply(frame, kDeviceFailure);
        case WriteOutcome::NoReply:
            return exceptionReply(frame, kGatewayTargetFailed);
        case WriteOutcome::NotAllowed:
            break;
    }
    return exceptionReply(frame, kIllegalFunction);
}

Json::Value auditJson(const WriteAudit& audit) {
    Json::Value out(Json::objectValue);
    out["client"] = audit.client;
    out["data_id"] = audit.dataId;
    out["unit"] = audit.unit;
    out["function"] = audit.request.function;
    out["address"] = audit.request.address;
    out["count"] = audit.request.count;
    Json::Value values(Json::arrayValue);
    for (std::uint16_t v : audit.request.values) values.append(v);
    out["values"] = values;
    out["outcome"] = outcomeText(audit.outcome);
    return out;
}

}  // namespace vedhost

#include "presentation/state_message.h"

#include "presentation/signal_values.h"

namespace vedhost {

Json::Value stateMessage(unsigned dataId, const std::string& time, const std::string& line,
                         int slave, const Json::Value& report, const Presentation& presentation) {
    return stateMessage(dataId, time, line, slave, report, presentation, Json::Value());
}

Json::Value stateMessage(unsigned dataId, const std::string& time, const std::string& line,
                         int slave, const Json::Value& report, const Presentation& presentation,
                         const Json::Value& hostValues) {
    Json::Value state(Json::objectValue);
    state["data_id"] = dataId;
    state["time"] = time;
    state["line"] = line;
    state["slave"] = slave;
    state["values"] = presentation.values(reportValues(report));
    Json::Value units(Json::objectValue);
    for (const std::string& id : presentation.ids()) {
        const SignalStyle* style = presentation.find(id);
        if (!style->unit.empty() && state["values"].isMember(id)) units[id] = style->unit;
    }
    if (hostValues.isObject()) {
        for (const std::string& id : hostValues["values"].getMemberNames())
            state["values"][id] = hostValues["values"][id];
        for (const std::string& id : hostValues["units"].getMemberNames())
            units[id] = hostValues["units"][id];
    }
    if (!units.empty()) state["units"] = units;
    return state;
}

}  // namespace vedhost

#include "hosting/turn_record.h"

namespace vedhost {
namespace {

// One hand-on per kind of call, picked by std::visit.
struct HandOn {
    unsigned dataId;
    Publisher& to;
    void operator()(const AlarmCheckSeen& a) const {
        to.alarmCheck(dataId, a.level, a.key, a.alarmId, a.valueText, a.message, a.active,
                      a.serial);
    }
    void operator()(const AnalogReportSeen& a) const { to.analogReport(dataId, a.key, a.value); }
    void operator()(const ExchangeSeen& e) const { to.exchange(dataId, e.outcome); }
};

}  // namespace

void handOn(unsigned dataId, const std::vector<Seen>& seen, Publisher& to) {
    for (const Seen& s : seen) std::visit(HandOn{dataId, to}, s);
}

}  // namespace vedhost

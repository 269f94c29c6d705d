#include "history/history_sink.h"

#include <iostream>

#include "common/local_time.h"

namespace vedhost {

void HistorySink::round(const Round& round) {
    if (round.replay) return;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(round.saved.time_since_epoch())
            .count();
    std::string error;
    if (!store_.save(round.dataId, ms, timestamp(round.saved), round.record.data(),
                     round.record.size(), error))
        std::cerr << "vedhost: data id " << round.dataId << ": history not stored: " << error
                  << std::endl;
}

}  // namespace vedhost

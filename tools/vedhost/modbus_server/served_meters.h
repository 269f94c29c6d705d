// What the Modbus server answers from: the latest record of each meter, which
// unit id names which meter, and which registers clients may write.
//
// The line threads hand in each completed round's record and each change of
// a meter's answering; the server's thread reads. A read copies the words it
// needs under the lock, so a round arriving meanwhile never tears a reply.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "modbus_server/modbus_server_options.h"

namespace vedhost {

class ServedMeters {
  public:
    using Clock = std::chrono::steady_clock;

    // `routes`: unit id -> data id of every meter served; `maxAge`: a record
    // older than this is not served.
    ServedMeters(std::map<int, unsigned> routes, std::vector<WritableRange> writes,
                 Clock::duration maxAge);

    // A completed round of `dataId`: its record (kRecordBytes; any other
    // length is ignored), received at `when`. The meter answers again.
    void round(unsigned dataId, const std::uint8_t* record, std::size_t length,
               Clock::time_point when = Clock::now());
    // The meter stopped answering (false) or answers again (true).
    void answering(unsigned dataId, bool answering);

    // The meter a unit id names; nullopt for a unit that names none.
    std::optional<unsigned> meterOf(int unit) const;
    // True when clients may write registers first..first+count-1 of the meter.
    bool writable(unsigned dataId, unsigned first, unsigned count) const;

    enum class Read {
        Ok,       // `words` holds the registers
        Offline,  // no round yet, or the meter stopped answering
        Stale,    // the latest round is older than the maximum age
    };
    // Registers first..first+count-1 of the meter's latest record; the caller
    // has checked polledRange().
    Read read(unsigned dataId, unsigned first, unsigned count, Clock::time_point now,
              std::vector<std::uint16_t>& words) const;

  private:
    struct Latest {
        std::vector<std::uint8_t> record;  // empty until the first round
        Clock::time_point when{};
        bool answering = false;
    };

    const std::map<int, unsigned> routes_;
    const std::vector<WritableRange> writes_;
    const Clock::duration maxAge_;
    mutable std::mutex mutex_;
    std::map<unsigned, Latest> latest_;
};

}  // namespace vedhost

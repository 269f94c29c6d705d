// `vedhost history FILE --energy PERIOD|audit`: each meter's (or one
// meter's) consumption per period of one counter, priced by the tariffs of
// a --config document, or the ledger's audit of wraps and new epochs; CSV
// (the default) or JSON lines, on a history file opened read-only.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "energy/energy_options.h"

namespace vedhost::energy {

struct EnergyListing {
    std::string path;
    std::optional<unsigned> dataId;
    std::string since, until;  // local times; empty: from the first, to the last
    bool json = false;
    std::string what;                      // "hour" ... "billing", or "audit"
    std::string counter;                   // a register's id; empty: energy_fwd_active
    std::optional<EnergyOptions> options;  // the document's: currency, billing day, tariffs
};

// The rows go to `out`, their count ("vedhost: 31 periods") or a refusal
// ("vedhost: ...") to `err`. Returns the exit status: 0, or 2 when the
// listing cannot be made (an unknown period or counter, a file without the
// energy tables).
int runEnergyCommand(const EnergyListing& listing, std::ostream& out, std::ostream& err);

}  // namespace vedhost::energy

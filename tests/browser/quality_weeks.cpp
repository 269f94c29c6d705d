// Writes two weeks of a simulated meter's supply-quality values into a
// history file, as the host makes them from its rounds (a round each 10 s,
// through the recorder): the week before last holds every limit; last week
// L1 runs at 256.1 V (+11.3 %) from 18:00 to 19:40 every day, 70 of its 1008
// ten-minute means, and the frequency falls to 49.35 Hz for 40 s on
// Wednesday at 08:00. The rounds go on ten minutes into this week, so last
// week is assessed and this week has begun. For the browser test and the
// documentation's pictures.
//
//   quality_weeks HISTORY DATA_ID
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "quality/quality_recorder.h"
#include "quality/quality_store.h"
#include "quality/quality_week.h"
#include "ved96/signals.h"

namespace {

using namespace vedhost::quality;

class Record {
  public:
    Record() : bytes_(1009, 0) {}
    Record& set(const std::string& id, unsigned raw) {
        const auto* s = ved96_report::findSignal(id.c_str());
        if (s == nullptr) {
            std::fprintf(stderr, "quality_weeks: no signal %s\n", id.c_str());
            std::exit(2);
        }
        bytes_[s->offset] = static_cast<unsigned char>(raw & 0xff);
        bytes_[s->offset + 1] = static_cast<unsigned char>(raw >> 8);
        return *this;
    }
    const std::vector<unsigned char>& bytes() const { return bytes_; }

  private:
    std::vector<unsigned char> bytes_;
};

// The browser test's meter 1 (its registers, as tests/browser/harness.py
// gives them), with distortion a low-voltage supply often has.
Record meter(unsigned l1, unsigned hz) {
    Record r;
    r.set("phase_voltage_a", l1).set("phase_voltage_b", 2302).set("phase_voltage_c", 2299);
    r.set("line_voltage_ab", 3990).set("line_voltage_bc", 3985).set("line_voltage_ca", 3994);
    r.set("frequency", hz);
    const char* phases[] = {"a", "b", "c"};
    for (const char* p : phases) {
        r.set(std::string("voltage_thd_") + p, 310);
        for (int n = 2; n <= 31; ++n) {
            const unsigned raw = n == 3 ? 120 : n == 5 ? 250 : n == 7 ? 140 : n % 2 ? 30 : 8;
            r.set("voltage_h" + std::to_string(n) + "_" + p, raw);
        }
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: quality_weeks HISTORY DATA_ID\n");
        return 2;
    }
    const unsigned dataId = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    const Week current = weekOf(std::time(nullptr));
    const Week last = previousWeek(current), before = previousWeek(last);
    QualityStore store;
    std::string error;
    if (!store.open(argv[1], false, 128u << 20, error)) {
        std::fprintf(stderr, "quality_weeks: %s\n", error.c_str());
        return 1;
    }
    const Record steady = meter(2300, 5002), high = meter(2561, 5002), dip = meter(2300, 4935);
    {
        QualityRecorder recorder(store, Nominal{});
        for (std::int64_t t = before.start; t < current.start + 630; t += 10) {
            const Record* r = &steady;
            if (t >= last.start && t < last.end) {
                std::int64_t into = t - weekOf(t).start;
                // Local hours of the day: the week's days each begin at local
                // midnight; a week of 168 hours has them 86400 s apart.
                const std::int64_t day = into / 86400, second = into % 86400;
                if (second >= 18 * 3600 && second < 18 * 3600 + 6000) r = &high;
                if (day == 2 && second >= 8 * 3600 && second < 8 * 3600 + 40) r = &dip;
            }
            recorder.round(dataId, t * 1000, r->bytes().data(), r->bytes().size());
            if ((t - before.start) % 86400 == 0) recorder.flush();
        }
        recorder.flush();
    }
    std::printf("%s %s\n", before.label().c_str(), last.label().c_str());
    return 0;
}

#include "quality/quality_assessment.h"

#include <cmath>
#include <limits>

namespace vedhost::quality {
namespace {

// One criterion and phase judged value by value, in time order.
class Judge {
  public:
    Judge(Result& result, double low, double high, double nominal, std::int64_t step)
        : r_(result), low_(low), high_(high), nominal_(nominal), step_(step) {}

    void add(std::int64_t at, double value) {
        if (std::isnan(value)) return;
        ++r_.values;
        const double s = severity(value);
        if (std::isnan(r_.worst) || s > worstSeverity_) {
            r_.worst = value;
            r_.worstAt = at;
            worstSeverity_ = s;
        }
        const bool held = value >= low_ && value <= high_;
        if (held) {
            ++r_.held;
            close();
            return;
        }
        // A run goes on while its values follow each other without a gap.
        if (inRun_ && at != runEnd_) close();
        if (!inRun_) {
            inRun_ = true;
            run_ = {at, 0, value};
            runSeverity_ = s;
        } else if (s > runSeverity_) {
            run_.extreme = value;
            runSeverity_ = s;
        }
        runEnd_ = at + step_;
        run_.seconds = runEnd_ - run_.start;
    }

    void close() {
        if (!inRun_) return;
        inRun_ = false;
        ++r_.excursionCount;
        if (r_.excursions.size() < kExcursionsKept) r_.excursions.push_back(run_);
    }

  private:
    // How near a value is to its limit, as a part of the limit's distance
    // from nominal: 1 at the limit, above 1 beyond it.
    double severity(double value) const {
        if (std::isinf(low_)) return value / high_;
        const double d = value - nominal_;
        return d >= 0 ? d / (high_ - nominal_) : d / (low_ - nominal_);
    }

    Result& r_;
    double low_, high_, nominal_;
    std::int64_t step_;
    double worstSeverity_ = 0;
    bool inRun_ = false;
    Excursion run_;
    double runSeverity_ = 0;
    std::int64_t runEnd_ = 0;
};

}  // namespace

bool Result::pass() const {
    return values > 0 && held * 10000 >= static_cast<std::int64_t>(criterion->share) * values;
}

double Result::sharePercent() const {
    if (values == 0) return kNoValue;
    // Hundredths of a per cent, rounded down, in integers.
    return static_cast<double>(held * 10000 / values) / 100;
}

bool Assessment::pass() const {
    bool any = false;
    for (const Result& r : results) {
        if (!r.judged()) continue;
        any = true;
        if (!r.pass()) return false;
    }
    return any;
}

void limits(const Criterion& c, const Nominal& nominal, double& low, double& high) {
    if (c.quantity == Quantity::Voltage || c.quantity == Quantity::Frequency) {
        const double n = c.quantity == Quantity::Voltage ? nominal.voltage : nominal.frequency;
        // n * (100 + p) / 100 keeps whole limits whole: 230 V +10 % is 253 V.
        low = n * (100 + c.low) / 100;
        high = n * (100 + c.high) / 100;
        return;
    }
    low = -std::numeric_limits<double>::infinity();
    high = c.high;
}

Assessment assess(unsigned dataId, const Week& week, const std::vector<Interval>& intervals,
                  const Nominal& nominal, bool complete, std::int64_t assessedAt) {
    Assessment a;
    a.dataId = dataId;
    a.week = week;
    a.nominal = nominal;
    a.complete = complete;
    a.assessedAt = assessedAt;
    std::vector<const Interval*> in;
    for (const Interval& i : intervals)
        if (i.start >= week.start && i.start < week.end) in.push_back(&i);
    a.intervals = static_cast<std::int64_t>(in.size());
    for (const Interval* i : in)
        for (int w = 0; w < kWindows; ++w) a.windows += std::isnan(i->frequency(w)) ? 0 : 1;

    for (std::size_t k = 0; k < kCriterionCount; ++k) {
        const Criterion& c = kCriteria[k];
        double low, high;
        limits(c, nominal, low, high);
        const double centre = c.quantity == Quantity::Voltage     ? nominal.voltage
                              : c.quantity == Quantity::Frequency ? nominal.frequency
                                                                  : 0;
        const int phases = perPhase(c) ? kPhases : 1;
        for (int p = 0; p < phases; ++p) {
            Result r;
            r.criterion = &c;
            r.phase = perPhase(c) ? p : -1;
            const bool tenSeconds = c.quantity == Quantity::Frequency;
            Judge judge(r, low, high, centre, tenSeconds ? kWindowSeconds : kIntervalSeconds);
            for (const Interval* i : in) {
                switch (c.quantity) {
                    case Quantity::Voltage:
                        judge.add(i->start,
                                  nominal.lineVoltages ? i->lineVoltage(p) : i->phaseVoltage(p));
                        break;
                    case Quantity::Frequency:
                        for (int w = 0; w < kWindows; ++w)
                            judge.add(i->start + w * kWindowSeconds, i->frequency(w));
                        break;
                    case Quantity::Unbalance:
                        judge.add(i->start, i->unbalance());
                        break;
                    case Quantity::Thd:
                        judge.add(i->start, i->thd(p));
                        break;
                    case Quantity::Harmonic:
                        judge.add(i->start, i->harmonic(p, c.order));
                        break;
                }
            }
            judge.close();
            a.results.push_back(std::move(r));
        }
    }
    return a;
}

}  // namespace vedhost::quality

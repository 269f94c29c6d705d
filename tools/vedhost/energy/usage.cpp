#include "energy/usage.h"

#include <json/writer.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "common/json_text.h"
#include "common/local_time.h"

namespace vedhost::energy {
namespace {

// The local date after a date, both as 20240307.
int nextDate(int date) {
    static const int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int y = date / 10000, m = date / 100 % 100, d = date % 100;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    const int last = m == 2 && leap ? 29 : kMonthDays[m - 1];
    if (++d > last) {
        d = 1;
        if (++m > 12) {
            m = 1;
            ++y;
        }
    }
    return y * 10000 + m * 100 + d;
}

std::optional<double> priceOf(const CounterInfo& c, const Band* band) {
    if (band == nullptr) return std::nullopt;
    return c.import ? band->importPrice : band->exportPrice;
}

// What a period's bands add up to, by band name.
struct BandSums {
    std::map<std::string, BandUse> bands;
    bool unpriced = false;
    void add(const std::string& name, double units, std::optional<double> price) {
        BandUse& b = bands[name];
        b.band = name;
        b.units += units;
        if (price)
            b.money = b.money.value_or(0) + units * *price;
        else
            unpriced = true;
    }
};

void finish(PeriodUse& p, BandSums& sums, const CounterInfo& c) {
    double money = c.import ? p.standing : 0;
    for (auto& [name, b] : sums.bands) {
        if (b.money) money += *b.money;
        p.bands.push_back(b);
    }
    if (!sums.unpriced) p.money = money;
}

const char* moneyName(const CounterInfo& c) { return c.import ? "cost" : "credit"; }

std::string lower(const char* unit) {
    std::string s = unit;
    for (char& ch : s)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return s;
}

std::string csvText(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char ch : text) quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return quoted + "\"";
}

// Amounts and money to a millionth: the shares of a count spread over hours
// add up to 48.0000000000001 otherwise.
double tidy(double v) { return std::round(v * 1e6) / 1e6 + 0.0; }

std::string numberCsv(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", tidy(v));
    return text;
}

}  // namespace

std::vector<PeriodUse> usageByPeriod(EnergyStore& store, const UsageQuery& q,
                                     const TariffPlan& plan) {
    std::vector<PeriodUse> out;
    if (q.counter >= kCounters || q.to <= q.from) return out;
    const CounterInfo& c = kCounterInfo[q.counter];
    const bool priced = !plan.empty() && c.active;
    const Span first = periodAt(q.period, q.from, q.billingDay);
    const Span last = periodAt(q.period, q.to - 1, q.billingDay);

    if (q.period == Period::Hour) {
        for (const UsageRow& row : store.hours(q.dataId, q.counter, first.start, last.end)) {
            PeriodUse p;
            p.span = {row.start, row.start + 3600};
            p.amount = row.amount;
            if (priced) {
                const LocalDate d = localDate(row.start);
                const Band* band = plan.bandOf(d.number(), d.weekday, d.hour);
                BandSums sums;
                sums.add(band != nullptr ? band->name : "", row.amount.units, priceOf(c, band));
                finish(p, sums, c);
            }
            out.push_back(std::move(p));
        }
        return out;
    }

    const std::vector<UsageRow> days = store.days(q.dataId, q.counter, first.start, last.end);
    if (days.empty()) return out;
    // The hours still kept price their days by the tariffs now in effect.
    std::map<std::int64_t, std::vector<UsageRow>> hoursOfDay;
    if (priced) {
        Span day;
        for (const UsageRow& h : store.hours(q.dataId, q.counter, first.start, last.end)) {
            if (h.start >= day.end) day = periodAt(Period::Day, h.start);
            hoursOfDay[day.start].push_back(h);
        }
    }
    const int latestDate = localDate(days.back().start).number();

    PeriodUse p;
    BandSums sums;
    std::set<std::int64_t> priced_days;
    auto close = [&] {
        if (p.span.end == 0) return;
        if (priced) {
            if (c.import) {
                const int end = localDate(p.span.end).number();
                for (int date = localDate(p.span.start).number(); date < end && date <= latestDate;
                     date = nextDate(date)) {
                    const Tariff* t = plan.at(date);
                    if (t != nullptr) p.standing += t->standingPerDay;
                }
            }
            finish(p, sums, c);
        }
        out.push_back(std::move(p));
        p = PeriodUse();
        sums = BandSums();
    };
    for (const UsageRow& row : days) {
        if (row.start >= p.span.end) {
            close();
            p.span = periodAt(q.period, row.start, q.billingDay);
        }
        p.amount += row.amount;
        if (!priced) continue;
        const auto hours = hoursOfDay.find(row.start);
        if (hours == hoursOfDay.end()) {
            const Band* band = plan.bandNamed(localDate(row.start).number(), row.band);
            sums.add(row.band, row.amount.units, priceOf(c, band));
        } else if (priced_days.insert(row.start).second) {
            for (const UsageRow& h : hours->second) {
                const LocalDate d = localDate(h.start);
                const Band* band = plan.bandOf(d.number(), d.weekday, d.hour);
                sums.add(band != nullptr ? band->name : "", h.amount.units, priceOf(c, band));
            }
        }
    }
    close();
    return out;
}

namespace {

// JSON text written directly: ten years of days are some 4000 objects, and
// building them as values first takes four times as long.
class JsonText {
  public:
    explicit JsonText(std::string& out) : out_(out) {}
    JsonText& key(const char* name) {
        comma();
        out_ += '"';
        out_ += name;
        out_ += "\":";
        fresh_ = true;
        return *this;
    }
    JsonText& key(const std::string& name) { return key(name.c_str()); }
    JsonText& text(const std::string& v) {
        comma();
        out_ += Json::valueToQuotedString(v.c_str());
        return *this;
    }
    JsonText& number(double v) {
        comma();
        char t[32];
        std::snprintf(t, sizeof t, "%.15g", tidy(v));
        out_ += t;
        return *this;
    }
    JsonText& integer(std::int64_t v) {
        comma();
        out_ += std::to_string(v);
        return *this;
    }
    JsonText& boolean(bool v) {
        comma();
        out_ += v ? "true" : "false";
        return *this;
    }
    JsonText& open(char bracket) {
        comma();
        out_ += bracket;
        fresh_ = true;
        return *this;
    }
    JsonText& close(char bracket) {
        out_ += bracket;
        fresh_ = false;
        return *this;
    }

  private:
    void comma() {
        if (!fresh_) out_ += ',';
        fresh_ = false;
    }
    std::string& out_;
    bool fresh_ = true;
};

// The members of one period, inside its braces.
void periodMembers(JsonText& j, const PeriodUse& p, const CounterInfo& c, const std::string& unit,
                   bool standing) {
    j.key("start").integer(p.span.start);
    j.key("end").integer(p.span.end);
    j.key("start_time").text(localIso(p.span.start));
    j.key(unit).number(p.amount.units);
    j.key("estimated").boolean(tidy(p.amount.estimated) > 0);
    j.key("estimated_" + unit).number(p.amount.estimated);
    if (p.money) j.key(moneyName(c)).number(*p.money);
    if (standing) j.key("standing").number(p.standing);
    if (p.bands.empty()) return;
    j.key("bands").open('[');
    for (const BandUse& b : p.bands) {
        j.open('{');
        j.key("band").text(b.band);
        j.key(unit).number(b.units);
        if (b.money) j.key(moneyName(c)).number(*b.money);
        j.close('}');
    }
    j.close(']');
}

// What every line and the whole answer begin with.
void headMembers(JsonText& j, const UsageQuery& q, const TariffPlan& plan) {
    const CounterInfo& c = kCounterInfo[q.counter];
    j.key("data_id").integer(q.dataId);
    j.key("counter").text(c.id);
    j.key("unit").text(c.unit);
    j.key("period").text(periodName(q.period));
    if (!plan.empty() && c.active) j.key("currency").text(plan.currency);
}

bool showsStanding(const UsageQuery& q, const TariffPlan& plan) {
    const CounterInfo& c = kCounterInfo[q.counter];
    return !plan.empty() && c.active && c.import && q.period != Period::Hour;
}

}  // namespace

std::string usageJson(const UsageQuery& q, const std::vector<PeriodUse>& periods,
                      const TariffPlan& plan, const std::string& extra) {
    const CounterInfo& c = kCounterInfo[q.counter];
    const std::string unit = lower(c.unit);
    const bool standing = showsStanding(q, plan);
    std::string out;
    out.reserve(256 + periods.size() * 200);
    JsonText j(out);
    j.open('{');
    headMembers(j, q, plan);
    if (!extra.empty()) out += "," + extra;
    j.key("periods").open('[');
    for (const PeriodUse& p : periods) {
        j.open('{');
        periodMembers(j, p, c, unit, standing);
        j.close('}');
    }
    j.close(']').close('}');
    return out;
}

void writeUsageCsv(const UsageQuery& q, const std::vector<PeriodUse>& periods,
                   const TariffPlan& plan, bool header, std::ostream& out) {
    const CounterInfo& c = kCounterInfo[q.counter];
    const std::string unit = lower(c.unit);
    const bool priced = !plan.empty() && c.active;
    std::set<std::string> names;
    for (const PeriodUse& p : periods)
        for (const BandUse& b : p.bands) names.insert(b.band);
    if (header) {
        out << "data_id,counter,period,start,end," << unit << ",estimated_" << unit;
        if (priced) out << "," << moneyName(c) << ",standing";
        for (const std::string& n : names)
            out << "," << csvText(n + "_" + unit) << "," << csvText(n + "_" + moneyName(c));
        out << "\n";
    }
    for (const PeriodUse& p : periods) {
        out << q.dataId << "," << c.id << "," << periodName(q.period) << ","
            << localIso(p.span.start) << "," << localIso(p.span.end) << ","
            << numberCsv(p.amount.units) << "," << numberCsv(p.amount.estimated);
        if (priced)
            out << "," << (p.money ? numberCsv(*p.money) : "") << "," << numberCsv(p.standing);
        for (const std::string& n : names) {
            const BandUse* found = nullptr;
            for (const BandUse& b : p.bands)
                if (b.band == n) found = &b;
            out << "," << (found ? numberCsv(found->units) : "") << ","
                << (found && found->money ? numberCsv(*found->money) : "");
        }
        out << "\n";
    }
}

void writeUsageJsonLines(const UsageQuery& q, const std::vector<PeriodUse>& periods,
                         const TariffPlan& plan, std::ostream& out) {
    const CounterInfo& c = kCounterInfo[q.counter];
    const std::string unit = lower(c.unit);
    const bool standing = showsStanding(q, plan);
    for (const PeriodUse& p : periods) {
        std::string line;
        JsonText j(line);
        j.open('{');
        headMembers(j, q, plan);
        periodMembers(j, p, c, unit, standing);
        j.close('}');
        out << line << "\n";
    }
}

void writeAuditCsv(const std::vector<AuditRow>& rows, std::ostream& out) {
    out << "data_id,counter,time,kind,old,new,epoch,total\n";
    for (const AuditRow& a : rows) {
        const CounterInfo& c = kCounterInfo[a.counter];
        out << a.dataId << "," << c.id << "," << localIso(secondsOf(a.atMs)) << ","
            << (a.kind == StepKind::Wrap ? "wrap" : "epoch") << ","
            << numberCsv(a.oldRaw * kUnitsPerCount) << "," << numberCsv(a.newRaw * kUnitsPerCount)
            << "," << a.epoch << "," << numberCsv(static_cast<double>(a.total) * kUnitsPerCount)
            << "\n";
    }
}

}  // namespace vedhost::energy

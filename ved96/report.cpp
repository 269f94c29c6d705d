// The meter's JSON report: one flat object keyed by the meter's signal names,
// rebuilt from the record once per completed round.
//
// The document keeps its members ordered by key bytes. The builder keeps the
// same members in one list in that order (made once from the signal tables),
// so a rebuild walks the document and the list side by side and assigns each
// member in place, without a search by name. Keys and fixed texts are held by
// the document as pointers to the tables (Json::StaticString), never copied:
// a warm rebuild allocates only the update-time text.
#include <json/value.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <mutex>
#include <vector>

#include "ved96/report_tables.h"
#include "ved96/ved96.h"

namespace {

using namespace ved96_report;

// One member the builder writes, and how its value is made from the record.
struct Member {
    enum class Kind { Number, BitText, SettingText, UpdateTime, AlertArray };
    const char* key;
    std::size_t keyLength;
    Kind kind;
    std::size_t offset = 0;  // the register read (all but the update time)
    Conversion conversion = Conversion::Raw;
    unsigned bit = 0;                        // BitText, and the alert booleans
    const StatusWord* status = nullptr;      // BitText
    const SettingSignal* setting = nullptr;  // SettingText
};

bool keyBefore(const Member& a, const Member& b) {
    // As the document orders its keys: bytes compared unsigned, a prefix first.
    const int order = std::memcmp(a.key, b.key, std::min(a.keyLength, b.keyLength));
    return order != 0 ? order < 0 : a.keyLength < b.keyLength;
}

Member member(const char* key, Member::Kind kind) { return {key, std::strlen(key), kind}; }

Member number(const char* key, std::size_t offset, Conversion conversion) {
    Member m = member(key, Member::Kind::Number);
    m.offset = offset;
    m.conversion = conversion;
    return m;
}

template <std::size_t N>
void addNumbers(std::vector<Member>& out, const NumericSignal (&signals)[N]) {
    for (const NumericSignal& s : signals) out.push_back(number(s.key, s.offset, s.conversion));
}

void sortByKey(std::vector<Member>& members) {
    std::sort(members.begin(), members.end(), keyBefore);
}

// The 269 top-level members (every signal, "AlertArray" and the update
// time), in document order.
std::vector<Member> makeReportMembers() {
    std::vector<Member> out;
    addNumbers(out, kMeasurements);
    out.push_back(
        number(kSoePointerTotal.key, kSoePointerTotal.offset, kSoePointerTotal.conversion));
    for (const StatusWord& status : kStatusWords) {
        out.push_back(number(status.word.key, status.word.offset, status.word.conversion));
        for (std::size_t i = 0; i < status.bitCount; ++i) {
            Member m = member(status.bits[i].key, Member::Kind::BitText);
            m.offset = status.word.offset;
            m.bit = status.bits[i].bit;
            m.status = &status;
            out.push_back(m);
        }
        if (status.alsoInAlertArray) {
            Member m = member(kAlertArrayKey, Member::Kind::AlertArray);
            m.status = &status;
            out.push_back(m);
        }
    }
    addNumbers(out, kEnergies);
    for (const HarmonicSignal& h : kHarmonics)
        out.push_back(number(h.key, h.offset, Conversion::Raw));
    addNumbers(out, kRatings);
    for (const SettingSignal& s : kSettings) {
        Member m = member(s.key, Member::Kind::SettingText);
        m.offset = s.offset;
        m.setting = &s;
        out.push_back(m);
    }
    out.push_back(member(kUpdateTimeKey, Member::Kind::UpdateTime));
    sortByKey(out);
    return out;
}

// The six voltage alarms inside "AlertArray", in document order.
std::vector<Member> makeAlertMembers() {
    std::vector<Member> out;
    for (const StatusWord& status : kStatusWords) {
        if (!status.alsoInAlertArray) continue;
        for (std::size_t i = 0; i < status.bitCount; ++i) {
            Member m = member(status.bits[i].key, Member::Kind::BitText);
            m.offset = status.word.offset;
            m.bit = status.bits[i].bit;
            out.push_back(m);
        }
    }
    sortByKey(out);
    return out;
}

const std::vector<Member>& reportMembers() {
    static const std::vector<Member> members = makeReportMembers();
    return members;
}

const std::vector<Member>& alertMembers() {
    static const std::vector<Member> members = makeAlertMembers();
    return members;
}

bool bitSet(const ved96_Data_t& record, const Member& m) {
    return ((registerAt(record, m.offset) >> m.bit) & 1u) != 0;
}

// "2024-3-7 9:5:2": plain decimal parts, no padding; the 8-bit parts are
// printed as numbers, not as characters.
Json::Value updateTimeText(const ttime& time) {
    const unsigned parts[] = {time.year, time.month, time.day, time.hour, time.minute, time.second};
    const char separators[] = {'-', '-', ' ', ':', ':'};
    char text[40];
    char* at = text;
    for (std::size_t i = 0; i < std::size(parts); ++i) {
        if (i > 0) *at++ = separators[i - 1];
        at = std::to_chars(at, text + sizeof text, parts[i]).ptr;
    }
    return Json::Value(text, at);
}

// The value of a top-level member other than "AlertArray".
Json::Value valueOf(const Member& m, const ved96_Data_t& record) {
    switch (m.kind) {
        case Member::Kind::Number:
            return Json::Value(convert(registerAt(record, m.offset), m.conversion));
        case Member::Kind::BitText:
            return Json::Value(
                Json::StaticString(bitSet(record, m) ? m.status->setText : m.status->clearText));
        case Member::Kind::SettingText:
            return Json::Value(
                Json::StaticString(settingText(*m.setting, registerAt(record, m.offset))));
        case Member::Kind::UpdateTime:
            return updateTimeText(record.update_time);
        case Member::Kind::AlertArray:
            break;
    }
    return Json::Value();
}

// Writes every member by looking it up (inserting it when absent): the first
// build, and any build of a document that no longer has all of its members.
void buildByName(Json::Value& report, const ved96_Data_t& record) {
    for (const Member& m : reportMembers()) {
        Json::Value& slot = report[Json::StaticString(m.key)];
        if (m.kind != Member::Kind::AlertArray) {
            slot = valueOf(m, record);
            continue;
        }
        for (const Member& alert : alertMembers())
            slot[Json::StaticString(alert.key)] = Json::Value(bitSet(record, alert));
    }
}

// Compares a document key with a member's key in document order.
int compareKey(const char* name, const char* end, const Member& m) {
    const std::size_t length = static_cast<std::size_t>(end - name);
    const int order = std::memcmp(name, m.key, std::min(length, m.keyLength));
    if (order != 0) return order;
    return length < m.keyLength ? -1 : length > m.keyLength ? 1 : 0;
}

// Walks the members of `object` against `members` (both in document order)
// and assigns each in place; members of the document that are not in the
// list (added by a look-up of the host's configuration, say) stay as they
// are. False when the document is not an object or lacks one of the members;
// what was assigned until then is the new round's value either way.
template <typename Assign>
bool assignInOrder(Json::Value& object, const std::vector<Member>& members, Assign assign) {
    if (!object.isObject()) return false;
    auto next = members.begin();
    const auto last = object.end();
    for (auto it = object.begin(); it != last && next != members.end(); ++it) {
        const char* end = nullptr;
        const char* name = it.memberName(&end);
        // A key the builder inserted is the table's own pointer; a key the
        // host inserted again under a copy is recognised by its bytes.
        if (name != next->key) {
            const int order = compareKey(name, end, *next);
            if (order < 0) continue;      // not a member of the list
            if (order > 0) return false;  // the list's member is missing
        }
        if (!assign(*it, *next)) return false;
        ++next;
    }
    return next == members.end();
}

bool rebuildInPlace(Json::Value& report, const ved96_Data_t& record) {
    return assignInOrder(report, reportMembers(), [&](Json::Value& value, const Member& m) {
        // Only the value is exchanged: the member's place stays as it is.
        if (m.kind != Member::Kind::AlertArray) {
            Json::Value fresh = valueOf(m, record);
            value.swapPayload(fresh);
            return true;
        }
        return assignInOrder(value, alertMembers(), [&](Json::Value& alert, const Member& a) {
            Json::Value fresh(bitSet(record, a));
            alert.swapPayload(fresh);
            return true;
        });
    });
}

}  // namespace

void ved96::GenJsonData() {
    std::lock_guard<std::mutex> lock(jsonMutex_);
    // Once per round: later calls for the same round (report requests) keep
    // the report as it is, even if the record has changed since.
    if (roundTime_ == reportTime_) return;

    // The document's address is handed to the host (code 803), which may
    // change it between rounds; when it no longer holds every member where
    // the walk expects it, the build looks each one up by name instead.
    if (!rebuildInPlace(jsonData_, data_)) buildByName(jsonData_, data_);

    // Stamped only once every member holds this round's value: if a build is
    // cut short (out of memory), the next call for the same round builds again
    // instead of leaving a report that mixes two rounds.
    reportTime_ = roundTime_;
}

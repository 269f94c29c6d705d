// The meter's JSON report: one flat object keyed by the meter's signal names,
// rebuilt from the record once per completed round.
//
// The document keeps its members ordered by key bytes. The builder keeps the
// same members in one list in that order (made once from the signal tables),
// so a rebuild walks the document and the list side by side and assigns each
// member in place, without a search by name.
//
// The document owns every key and text in it: the host may copy it (code 803)
// and keep the copy after the device is gone and the plug-in unloaded, so
// nothing in it may point into the plug-in's tables. Keys are copied once, by
// the first build; a fixed text is copied again only when it changes, so a
// warm rebuild allocates only the update-time text.
#include <json/value.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <mutex>
#include <type_traits>

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

// A list of members in a fixed array: plain rows, made once and never torn
// down, so nothing of the builder is destroyed at exit or at unload while a
// host thread may still be building a report.
template <std::size_t Capacity>
struct MemberList {
    std::array<Member, Capacity> rows{};
    std::size_t count = 0;

    void push_back(const Member& m) { rows.at(count++) = m; }
    const Member* begin() const { return rows.data(); }
    const Member* end() const { return rows.data() + count; }
    // Insertion in place: made once, and it needs no buffer from the heap.
    void sortByKey() {
        Member* first = rows.data();
        for (Member* it = first; it != first + count; ++it)
            std::rotate(std::upper_bound(first, it, *it, keyBefore), it, it + 1);
    }
};

constexpr std::size_t kReportMemberCount = 270;
constexpr std::size_t kAlertMemberCount = 6;
using ReportMembers = MemberList<kReportMemberCount>;
using AlertMembers = MemberList<kAlertMemberCount>;
static_assert(std::is_trivially_destructible_v<ReportMembers> &&
              std::is_trivially_destructible_v<AlertMembers>);

template <typename List, std::size_t N>
void addNumbers(List& out, const NumericSignal (&signals)[N]) {
    for (const NumericSignal& s : signals) out.push_back(number(s.key, s.offset, s.conversion));
}

// The 270 top-level members (every signal, "AlertArray" and the update
// time), in document order.
ReportMembers makeReportMembers() {
    ReportMembers out;
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
    out.sortByKey();
    return out;
}

// The six voltage alarms inside "AlertArray", in document order.
AlertMembers makeAlertMembers() {
    AlertMembers out;
    for (const StatusWord& status : kStatusWords) {
        if (!status.alsoInAlertArray) continue;
        for (std::size_t i = 0; i < status.bitCount; ++i) {
            Member m = member(status.bits[i].key, Member::Kind::BitText);
            m.offset = status.word.offset;
            m.bit = status.bits[i].bit;
            out.push_back(m);
        }
    }
    out.sortByKey();
    return out;
}

const ReportMembers& reportMembers() {
    static const ReportMembers members = makeReportMembers();
    return members;
}

const AlertMembers& alertMembers() {
    static const AlertMembers members = makeAlertMembers();
    return members;
}

bool bitSet(const ved96_Data_t& record, const Member& m) {
    return ((registerAt(record, m.offset) >> m.bit) & 1u) != 0;
}

// A text member's value, in a buffer of the caller's.
struct Text {
    char bytes[40];
    std::size_t length = 0;
};

// "2024-3-7 9:5:2": plain decimal parts, no padding; the 8-bit parts are
// printed as numbers, not as characters.
void updateTimeText(const ttime& time, Text& text) {
    const unsigned parts[] = {time.year, time.month, time.day, time.hour, time.minute, time.second};
    const char separators[] = {'-', '-', ' ', ':', ':'};
    char* at = text.bytes;
    for (std::size_t i = 0; i < std::size(parts); ++i) {
        if (i > 0) *at++ = separators[i - 1];
        at = std::to_chars(at, text.bytes + sizeof text.bytes, parts[i]).ptr;
    }
    text.length = static_cast<std::size_t>(at - text.bytes);
}

// The text of a text member (a bit, a setting, the update time); false for
// the other kinds. Fixed texts are pointed at, the time text is made in
// `buffer`.
bool textOf(const Member& m, const ved96_Data_t& record, Text& buffer, const char*& begin,
            std::size_t& length) {
    switch (m.kind) {
        case Member::Kind::BitText:
            begin = bitSet(record, m) ? m.status->setText : m.status->clearText;
            length = std::strlen(begin);
            return true;
        case Member::Kind::SettingText:
            begin = settingText(*m.setting, registerAt(record, m.offset));
            length = std::strlen(begin);
            return true;
        case Member::Kind::UpdateTime:
            updateTimeText(record.update_time, buffer);
            begin = buffer.bytes;
            length = buffer.length;
            return true;
        case Member::Kind::Number:
        case Member::Kind::AlertArray:
            break;
    }
    return false;
}

// The value of a top-level member other than "AlertArray"; texts are copies
// the value owns.
Json::Value valueOf(const Member& m, const ved96_Data_t& record) {
    Text buffer;
    const char* text = nullptr;
    std::size_t length = 0;
    if (textOf(m, record, buffer, text, length)) return Json::Value(text, text + length);
    if (m.kind == Member::Kind::Number)
        return Json::Value(convert(registerAt(record, m.offset), m.conversion));
    return Json::Value();
}

// Writes every member by looking it up (inserting it, with a copy of its
// key, when absent): the first build, and any build of a document that no
// longer has all of its members.
void buildByName(Json::Value& report, const ved96_Data_t& record) {
    for (const Member& m : reportMembers()) {
        Json::Value& slot = report[m.key];
        if (m.kind != Member::Kind::AlertArray) {
            slot = valueOf(m, record);
            continue;
        }
        for (const Member& alert : alertMembers())
            slot[alert.key] = Json::Value(bitSet(record, alert));
    }
}

// Puts this round's value into a member in place. A text that has not
// changed is kept as it is: a copy of the same bytes would only cost an
// allocation.
void assignValue(Json::Value& value, const Member& m, const ved96_Data_t& record) {
    Text buffer;
    const char* text = nullptr;
    std::size_t length = 0;
    if (textOf(m, record, buffer, text, length)) {
        const char* begin = nullptr;
        const char* end = nullptr;
        if (value.getString(&begin, &end) && static_cast<std::size_t>(end - begin) == length &&
            std::memcmp(begin, text, length) == 0)
            return;
        Json::Value fresh(text, text + length);
        value.swapPayload(fresh);
        return;
    }
    Json::Value fresh(convert(registerAt(record, m.offset), m.conversion));
    value.swapPayload(fresh);
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
template <typename List, typename Assign>
bool assignInOrder(Json::Value& object, const List& members, Assign assign) {
    if (!object.isObject()) return false;
    auto next = members.begin();
    const auto last = object.end();
    for (auto it = object.begin(); it != last && next != members.end(); ++it) {
        const char* end = nullptr;
        const char* name = it.memberName(&end);
        const int order = compareKey(name, end, *next);
        if (order < 0) continue;      // not a member of the list
        if (order > 0) return false;  // the list's member is missing
        if (!assign(*it, *next)) return false;
        ++next;
    }
    return next == members.end();
}

bool rebuildInPlace(Json::Value& report, const ved96_Data_t& record) {
    return assignInOrder(report, reportMembers(), [&](Json::Value& value, const Member& m) {
        // Only the value is exchanged: the member's place stays as it is.
        if (m.kind != Member::Kind::AlertArray) {
            assignValue(value, m, record);
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

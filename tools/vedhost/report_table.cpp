#include "report_table.h"

#include <cstdio>
#include <sstream>

namespace vedhost {
namespace {

// One row of phase values: label, the report keys for A, B, C and the
// average or total ("" when the row has none).
struct PhaseRow {
    const char* label;
    const char* keys[4];
};

constexpr PhaseRow kPhaseRows[] = {
    {"voltage", {"A相电压", "B相电压", "C相电压", "平均相电压"}},
    {"line V", {"AB线电压", "BC线电压", "CA线电压", "平均线电压"}},
    {"current", {"A相电流", "B相电流", "C相电流", "平均相电流"}},
    {"active P", {"A相有功功率", "B相有功功率", "C相有功功率", "总有功功率"}},
    {"reactive Q", {"A相无功功率", "B相无功功率", "C相无功功率", "总无功功率"}},
    {"apparent S", {"A相视在功率", "B相视在功率", "C相视在功率", "总视在功率"}},
    {"PF", {"A相功率因数", "B相功率因数", "C相功率因数", "总功率因数"}},
    {"V angle", {"A/AB电压相角", "B/BC电压相角", "C/CA电压相角", ""}},
    {"I angle", {"A相电流相角", "B相电流相角", "C相电流相角", ""}},
    {"THD I", {"A相电流THD", "B相电流THD", "C相电流THD", ""}},
    {"THD V", {"A相电压THD", "B相电压THD", "C相电压THD", ""}},
};

// Label and key of single values shown in a run on one line.
struct Item {
    const char* label;
    const char* key;
};

constexpr Item kMiscItems[] = {
    {"frequency", "频率"}, {"neutral I", "计算中性线电流"}, {"SOE", "SOE指针总数"}};
constexpr Item kEnergyItems[] = {{"fwd P", "正向有功电能"},
                                 {"rev P", "反向有功电能"},
                                 {"fwd Q", "正向无功电能"},
                                 {"rev Q", "反向无功电能"}};
constexpr Item kAlarmItems[] = {{"A over", "A相过压告警"}, {"A under", "A相欠压告警"},
                                {"B over", "B相过压告警"}, {"B under", "B相欠压告警"},
                                {"C over", "C相过压告警"}, {"C under", "C相欠压告警"}};
constexpr Item kIoItems[] = {{"DI1", "DI1"}, {"DI2", "DI2"}, {"DI3", "DI3"},
                             {"DI4", "DI4"}, {"DO1", "DO1"}, {"DO2", "DO2"}};
constexpr Item kRatingItems[] = {{"V primary", "电压一次侧额定值"},
                                 {"V secondary", "电压二次侧额定值"},
                                 {"I primary", "电流一次侧额定值"},
                                 {"I secondary", "电流二次侧额定值"}};
constexpr const char* kSettingKeys[] = {
    "接线方式",        "功率因数算法", "视在功率算法", "A相电流方向设置", "B相电流方向设置",
    "C相电流方向设置", "电能脉冲常数", "接点脉冲类型", "谐波算法",        "遥控预置"};

std::string text(const Json::Value& report, const char* key) {
    if (key[0] == '\0') return "";
    if (!report.isObject() || !report.isMember(key)) return "-";
    const Json::Value& v = report[key];
    if (v.isString()) return v.asString();
    if (v.isBool()) return v.asBool() ? "true" : "false";
    if (v.isNumeric()) {
        char out[32];
        std::snprintf(out, sizeof out, "%.9g", v.asDouble());
        return out;
    }
    return "-";
}

template <std::size_t N>
void itemLine(std::ostringstream& out, const char* title, const Item (&items)[N],
              const Json::Value& report) {
    char head[16];
    std::snprintf(head, sizeof head, "%-11s", title);
    out << head;
    for (const Item& item : items) out << " " << item.label << " " << text(report, item.key) << " ";
    out << "\n";
}

}  // namespace

std::string reportTable(const Json::Value& report, unsigned dataId) {
    std::ostringstream out;
    out << "meter data id " << dataId << "   updated " << text(report, "更新时间") << "\n";
    char line[160];
    std::snprintf(line, sizeof line, "%-11s %10s %10s %10s %10s\n", "", "A", "B", "C", "avg/total");
    out << line;
    for (const PhaseRow& row : kPhaseRows) {
        std::snprintf(line, sizeof line, "%-11s %10s %10s %10s %10s\n", row.label,
                      text(report, row.keys[0]).c_str(), text(report, row.keys[1]).c_str(),
                      text(report, row.keys[2]).c_str(), text(report, row.keys[3]).c_str());
        out << line;
    }
    itemLine(out, "", kMiscItems, report);
    itemLine(out, "energy", kEnergyItems, report);
    itemLine(out, "alarms", kAlarmItems, report);
    itemLine(out, "DI/DO", kIoItems, report);
    itemLine(out, "ratings", kRatingItems, report);
    out << "settings   ";
    for (const char* key : kSettingKeys) out << " " << key << " " << text(report, key) << " ";
    out << "\n";
    return out.str();
}

}  // namespace vedhost

#include "runtime/report_sinks.h"

#include "common/json_text.h"
#include "presentation/report_table.h"

namespace vedhost {

void ReportStream::round(const Round& round) {
    if (!round.reportText) return;
    // Each line names its meter; the plug-in's text is carried as it is.
    Json::Value head(Json::objectValue);
    head["data_id"] = round.dataId;
    head["line"] = round.line;
    head["slave"] = round.slave;
    std::string line = compactJson(head);
    line.pop_back();
    out_.writeLine(line + ",\"report\":" + *round.reportText + "}");
}

void ReportConsole::round(const Round& round) {
    if (!round.reportText) return;
    writeStdout(reportTable(round.report, round.dataId, presentation_));
}

}  // namespace vedhost

#include "quality/quality_sink.h"

namespace vedhost::quality {

bool QualitySink::open(const std::string& historyPath, std::uint64_t maxBytes,
                       const QualityOptions& options, const Presentation& presentation,
                       std::string& error) {
    SampleReader reader;
    if (!reader.configure(presentation, error)) return false;
    if (!store_.open(historyPath, false, maxBytes, error)) return false;
    Nominal nominal;
    nominal.voltage = options.nominalV;
    nominal.frequency = options.nominalHz;
    nominal.lineVoltages = options.lineVoltages;
    recorder_ = std::make_unique<QualityRecorder>(store_, nominal, reader);
    return true;
}

void QualitySink::round(const Round& r) {
    if (r.replay || !recorder_) return;
    const std::int64_t ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(r.saved.time_since_epoch()).count();
    recorder_->round(r.dataId, ms, r.record.data(), r.record.size());
}

bool QualitySink::answer(unsigned dataId, const std::string& week, Json::Value& document,
                         std::string& error) {
    if (!recorder_) {
        error = "no supply-quality report is kept";
        return false;
    }
    return recorder_->answer(dataId, week, document, error);
}

void QualitySink::flush() {
    if (recorder_) recorder_->flush();
}

}  // namespace vedhost::quality

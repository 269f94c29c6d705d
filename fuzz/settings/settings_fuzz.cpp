// The setting loader with any settings document in each scheme, beside any
// INI or YAML configuration file under ./ini/, then a round with what it
// loaded. Input: one byte choosing the scheme and the file, then the settings
// text and the file's content, split at the first NUL.
//   bits 0-1: b_mode 1, 3, 5 or as the document gives it
//   bits 2-3: no file, ./ini/1.ini, ./ini/1.yaml, ./ini/vizize/ved96.ini
#include <json/reader.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "../scratch_dir.h"
#include "ved96/ved96.h"

namespace {

const char* const kFiles[] = {nullptr, "ini/1.ini", "ini/1.yaml", "ini/vizize/ved96.ini"};
constexpr int kSchemes[] = {1, 3, 5};

Json::Value parseSettings(const std::string& text) {
    Json::Value settings(Json::objectValue);
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    try {
        if (!reader->parse(text.data(), text.data() + text.size(), &settings, nullptr))
            settings = Json::Value(Json::objectValue);
    } catch (const std::exception&) {
        settings = Json::Value(Json::objectValue);
    }
    return settings;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::enterScratchDirectory();
    std::filesystem::create_directories("ini/vizize");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t choice = data[0];
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t split = rest.find('\0');
    Json::Value settings = parseSettings(rest.substr(0, split));
    if ((choice & 3) != 3 && settings.isObject()) {
        if (!settings["appSetting"].isObject()) settings["appSetting"] = Json::objectValue;
        settings["appSetting"]["b_mode"] = kSchemes[choice & 3];
    }
    for (const char* file : kFiles)
        if (file != nullptr) std::filesystem::remove(file);
    if (const char* file = kFiles[(choice >> 2) & 3]) {
        std::ofstream(file, std::ios::binary)
            << (split == std::string::npos ? std::string() : rest.substr(split + 1));
    }

    ved96 meter;
    meter.dataId_ = 1;
    try {
        meter.InitSetting(settings);
    } catch (const std::exception&) {
        // The readers' errors leave the loader by design; the device stays usable.
    }
    meter.RoundDone();
    return 0;
}

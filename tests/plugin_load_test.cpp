// ved96.so as the host loads it: opened with dlopen from a process that
// provides the host framework, entered through get_providers only.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <json/value.h>
#include <json/writer.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "host/provider.h"
#include "support/fake_host.h"

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

std::string pluginPath() {
    const char* path = std::getenv("VED96_PLUGIN");
    return path != nullptr ? path : "ved96.so";
}

// ved96.so opened as a host opens it, and its one entry point.
void openPlugin(void*& handle, GetProviders& getProviders) {
    handle = dlopen(pluginPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    getProviders = reinterpret_cast<GetProviders>(dlsym(handle, "get_providers"));
    ASSERT_NE(getProviders, nullptr) << dlerror();
}

// A meter made through the plug-in's only provider, which `providers` keeps.
void makeMeter(GetProviders getProviders, std::vector<std::shared_ptr<Provider>>& providers,
               std::unique_ptr<SMDVDevice>& device) {
    providers = getProviders();
    ASSERT_EQ(providers.size(), 1u);
    auto* provider = dynamic_cast<SMDSPDeviceProvider*>(providers[0].get());
    ASSERT_NE(provider, nullptr);
    device.reset(provider->create());
    ASSERT_NE(device, nullptr);
}

std::vector<std::string> lines(const std::string& command) {
    std::vector<std::string> out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        out.push_back(text);
    }
    pclose(pipe);
    return out;
}

TEST(PluginLoad, GetProvidersByNameMakesAMeterThatCompletesARound) {
    void* handle = nullptr;
    GetProviders getProviders = nullptr;
    ASSERT_NO_FATAL_FAILURE(openPlugin(handle, getProviders));
    {
        fake::Host host;
        host.meter.registers[0] = 2301;
        std::vector<std::shared_ptr<Provider>> providers;
        std::unique_ptr<SMDVDevice> device;
        ASSERT_NO_FATAL_FAILURE(makeMeter(getProviders, providers, device));
        EXPECT_EQ(device->DeviceType(), "ved96");
        auto* modbus = dynamic_cast<SPModbus*>(device.get());
        ASSERT_NE(modbus, nullptr);

        testing::internal::CaptureStdout();
        EXPECT_EQ(modbus->RefreshStatus(), 1);
        EXPECT_EQ(host::pump(*modbus), 10);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 0\n");
        ASSERT_EQ(host.services.sent.size(), 1u);
        ASSERT_EQ(host.services.sent[0].size(), 1009u);
        EXPECT_EQ(host.services.sent[0][4] | host.services.sent[0][5] << 8, 2301);
        EXPECT_EQ(host.services.saved.size(), 1u);
        EXPECT_TRUE(device->dataReady_);
    }  // devices and providers are gone before the library is closed
    EXPECT_EQ(dlclose(handle), 0);
}

// A host that keeps the report (code 803 hands out its address) copies the
// document. The copy must stay whole once the device is deleted and ved96.so
// unloaded, as when the host reloads its drivers: nothing in it may point
// into the library.
TEST(PluginLoad, AKeptReportOutlivesThePlugin) {
    void* handle = nullptr;
    GetProviders getProviders = nullptr;
    ASSERT_NO_FATAL_FAILURE(openPlugin(handle, getProviders));
    Json::Value kept;
    std::string textBefore;
    {
        fake::Host host;
        std::vector<std::shared_ptr<Provider>> providers;
        std::unique_ptr<SMDVDevice> device;
        ASSERT_NO_FATAL_FAILURE(makeMeter(getProviders, providers, device));

        // A record image from the cache: phase A voltage 2301, wiring code 1.
        std::vector<unsigned char> image(1009, 0);
        image[4] = 2301 & 0xFF;
        image[5] = 2301 >> 8;
        image[982] = 1;
        testing::internal::CaptureStdout();
        const bool loaded = device->LoadFromCache(image.data(), static_cast<int>(image.size()));
        const Json::Value* document = nullptr;
        int ret = 0;
        const int handedOut =
            device->DeviceIoControl(803, nullptr, 0, &document, sizeof document, ret);
        std::vector<char> text(64 * 1024);
        const int written = device->DeviceIoControl(801, nullptr, 0, text.data(),
                                                    static_cast<int>(text.size()), ret);
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(loaded);
        ASSERT_EQ(handedOut, 0);
        ASSERT_NE(document, nullptr);
        ASSERT_EQ(written, 0);
        textBefore.assign(text.data(), static_cast<std::size_t>(ret));
        kept = *document;
    }
    ASSERT_EQ(dlclose(handle), 0);
    ASSERT_EQ(dlopen(pluginPath().c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr)
        << "ved96.so is still mapped: the copy is not put to the test";

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::FastWriter writer;
    EXPECT_EQ(writer.write(kept), textBefore);
#pragma GCC diagnostic pop
    EXPECT_EQ(kept["A相电压"].asDouble(), 2301.0);
    EXPECT_EQ(kept["DI1"].asString(), "断开");
}

TEST(PluginLoad, ExportsNothingOfOursButGetProviders) {
    const auto symbols = lines("nm -D --defined-only " + pluginPath() + " 2>&1");
    ASSERT_FALSE(symbols.empty());
    bool found = false;
    for (const auto& line : symbols) {
        const std::string name = line.substr(line.rfind(' ') + 1);
        if (name == "get_providers") found = true;
        EXPECT_NE(name.rfind("_Z", 0), 0u) << "C++ symbol exported: " << line;
    }
    EXPECT_TRUE(found);
}

TEST(PluginLoad, HostSymbolsAreLeftForTheHostProcess) {
    const auto undefined = lines("nm -D --undefined-only " + pluginPath() + " | c++filt");
    bool sendSP = false, getTtime = false;
    for (const auto& line : undefined) {
        if (line.find("SMDVDevice::SendSP") != std::string::npos) sendSP = true;
        if (line.find("get_ttime") != std::string::npos) getTtime = true;
    }
    EXPECT_TRUE(sendSP);
    EXPECT_TRUE(getTtime);
}

}  // namespace

#include "hosting/plugin.h"

#include <dlfcn.h>

namespace vedhost {

bool loadPlugin(const std::string& path, Plugin& plugin, std::string& error) {
    // dlopen searches the library path for a bare name; a plug-in named on
    // the command line is meant as a file.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        error = "cannot load plug-in " + path + ": " + (why != nullptr ? why : "unknown error");
        return false;
    }
    using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();
    dlerror();
    auto getProviders = reinterpret_cast<GetProviders>(dlsym(handle, "get_providers"));
    if (getProviders == nullptr) {
        error = "plug-in " + path + " has no get_providers";
        dlclose(handle);
        return false;
    }
    plugin.handle = handle;
    plugin.providers = getProviders();
    for (const auto& provider : plugin.providers) {
        if (auto* sp = dynamic_cast<SMDSPDeviceProvider*>(provider.get())) {
            plugin.provider = sp;
            return true;
        }
    }
    error = "plug-in " + path + " offers no serial device provider";
    return false;
}

}  // namespace vedhost

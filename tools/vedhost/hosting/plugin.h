// Loading a device plug-in the way the host does: dlopen, then the exported
// get_providers, then the first provider that makes serial-port devices.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/provider.h"

namespace vedhost {

struct Plugin {
    void* handle = nullptr;  // kept open for the life of the process
    std::vector<std::shared_ptr<Provider>> providers;
    SMDSPDeviceProvider* provider = nullptr;  // owned by `providers`
};

// False with a one-line reason when the library cannot be loaded, has no
// get_providers, or offers no serial-port device provider.
bool loadPlugin(const std::string& path, Plugin& plugin, std::string& error);

}  // namespace vedhost

#include "ved96/provider.h"

#include "ved96/ved96.h"

ved96Provider::~ved96Provider() = default;

SMDVDevice* ved96Provider::create() const { return new ved96; }

// The C++ result type is the host's contract; only the name is unmangled.
std::vector<std::shared_ptr<Provider>> get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    providers.push_back(std::make_shared<ved96Provider>());
    return providers;
}

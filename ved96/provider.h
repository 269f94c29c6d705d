// The plug-in's entry point and its one provider.
//
// The host loads ved96.so, looks up get_providers by its unmangled name and
// calls it once. Each call returns a new vector holding one new provider; the
// caller owns both. The provider makes ved96 meter objects.
#pragma once

#include <memory>
#include <vector>

#include "host/provider.h"

class ved96Provider : public SMDSPDeviceProvider {
  public:
    ~ved96Provider() override;
    // A new, default-constructed ved96, owned by the caller, who deletes it
    // through its virtual destructor. The provider keeps no reference.
    SMDVDevice* create() const override;
};

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers();

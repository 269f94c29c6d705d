#include "host/provider.h"

#include "host/controller.h"

Provider::~Provider() = default;
SMDSPDeviceProvider::~SMDSPDeviceProvider() = default;

SMDController::SMDController(std::string name) : name_(std::move(name)) {}
SMDController::~SMDController() = default;

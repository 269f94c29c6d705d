#include "ved96/ved96.h"

// TODO(meter alarms): forward the six voltage alarm bits.
void ved96::RunCheckThreshold() {}

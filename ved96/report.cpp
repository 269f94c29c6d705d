#include "ved96/ved96.h"

// TODO(report): the 270 signals.
void ved96::GenJsonData() {}

#include "unidata/threshold_settings.h"

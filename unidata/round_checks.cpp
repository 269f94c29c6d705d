#include "unidata/round_checks.h"

#include "unidata/config_file.h"

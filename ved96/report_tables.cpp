#include "ved96/report_tables.h"

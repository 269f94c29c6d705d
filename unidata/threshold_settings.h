// threshold_settings
#pragma once

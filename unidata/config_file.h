// config_file
#pragma once

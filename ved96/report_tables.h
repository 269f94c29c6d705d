// Report signal tables.
#pragma once

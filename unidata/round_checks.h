// round_checks
#pragma once

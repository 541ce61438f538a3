// The simulator's default job: both drivers loaded, given a device, started,
// opened and used by an application, removed and unloaded, with each step
// checked and shown.
#pragma once

#include "sim/tools/options.h"

namespace simulator {

// Returns the number of failed checks.
int RunSelfCheck(const Options& options);

}  // namespace simulator

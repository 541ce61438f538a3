// The serial lab: the simulator with --pty. Boots the machine in real time,
// bridges \\.\COM7 (and COM8, or a far-end terminal) to pseudo-terminals,
// runs until SIGINT or SIGTERM, then closes, unplugs and reports.
#pragma once

#include "sim/tools/options.h"

namespace simulator {

// The exit status: 0 when the lab ran and shut down clean, 1 when a check
// failed, 2 when it could not start (the reason on stderr).
int RunLab(const Options& options, const char* program);

}  // namespace simulator

#include "sim/tools/lab/events.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "sim/kernel/machine.h"

namespace simulator::lab {

void Event(const char* format, ...) {
  static std::mutex mutex;  // one line at a time from the bridge's threads
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  sim::Machine* machine = sim::CurrentMachineOrNull();
  double seconds = machine ? machine->Sched().Now() / double(sim::kTicksPerSecond) : 0.0;
  std::lock_guard guard(mutex);
  std::fprintf(stderr, "[%8.3f s] %s\n", seconds, text);
}

}  // namespace simulator::lab

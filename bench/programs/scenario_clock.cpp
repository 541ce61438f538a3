// The port's scenario tests (tests/port) run as one process, serially, with
// the simulated time they covered added up: every machine of a test runs on
// virtual time from 0, so its clock when it is destroyed is the simulated
// time it covered. The link wraps sim::Machine's destructor for that
// (-Wl,--wrap); nothing in sim/ or the tests changes. Prints one JSON line:
// simulated seconds, wall seconds and their ratio.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "sim/kernel/machine.h"

namespace {

double simulatedSeconds = 0;
int machines = 0;

}  // namespace

extern "C" void __real__ZN3sim7MachineD1Ev(sim::Machine* machine);

// sim::Machine::~Machine(), as the tests call it.
extern "C" void __wrap__ZN3sim7MachineD1Ev(sim::Machine* machine) {
  if (machine->Options().virtualTime) {
    simulatedSeconds += (double)machine->Sched().Now() / sim::kTicksPerSecond;
    ++machines;
  }
  __real__ZN3sim7MachineD1Ev(machine);
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  auto start = std::chrono::steady_clock::now();
  int result = RUN_ALL_TESTS();
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
  std::printf("{\"tests\": %d, \"failed\": %d, \"machines\": %d, \"simulated_seconds\": %.3f, \"wall_seconds\": %.3f, "
              "\"simulated_per_wall\": %.3f}\n",
              unit.test_to_run_count(), unit.failed_test_count(), machines, simulatedSeconds, wall,
              wall > 0 ? simulatedSeconds / wall : 0.0);
  return result;
}

// Systematic fault injection: a scenario runs once to learn the distinct
// driver allocation sites it reaches, in order of first use, then once more
// for each site with the first allocation there failing. Every run is a child
// process, so a verifier stop or a crash ends that run only and is reported.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sim/kernel/machine.h"

namespace sim {

// Builds a Machine with the options it is given, drives it, and returns true
// when it saw what it expected (for instance STATUS_INSUFFICIENT_RESOURCES
// where an allocation failed). It runs in a child process: test assertions
// inside it do not reach the caller, so it reports through its result.
using FaultScenario = std::function<bool(const MachineOptions&)>;

struct RunOutcome {
  bool survived = false;
  std::string failure;  // why not: the verifier's stop and what it saw, a signal, or the scenario's own verdict
};

struct SiteOutcome {
  const void* site = nullptr;
  std::string routine;  // the driver routine that allocates there
  RunOutcome run;
};

struct FaultRunReport {
  RunOutcome baseline;             // the run without injected failures
  std::vector<SiteOutcome> sites;  // in order of first use
  bool AllSurvived() const;
  // One line per run, for logs and test failure messages.
  std::string Describe() const;
};

// Runs `scenario` once with `options` as given, then once per allocation site
// it reached with options.faults.failSite set to that site. The other fields
// of options.faults still apply (restrict to one driver with faults.driver).
// Call it while no machine exists: the runs fork this process.
FaultRunReport RunFailingEachSite(const FaultScenario& scenario, const MachineOptions& options = {});

}  // namespace sim

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
  std::string note;     // the last ReportOutcome of the run, if the scenario made one
};

struct SiteOutcome {
  const void* site = nullptr;
  size_t number = 0;    // 1-based, in order of first use among the sites found
  std::string routine;  // the driver routine that allocates there
  RunOutcome run;
};

struct FaultRunReport {
  RunOutcome baseline;             // the run without injected failures
  size_t sitesFound = 0;           // sites the baseline reached
  std::vector<SiteOutcome> sites;  // the sites tried, in order of first use
  bool AllSurvived() const;
  // One line per run, for logs and test failure messages.
  std::string Describe() const;
};

// Runs `scenario` once with `options` as given, then once per allocation site
// it reached with options.faults.failSite set to that site. The other fields
// of options.faults still apply (restrict to one driver with faults.driver).
// With `maxSites` nonzero and fewer than the sites found, that many are tried,
// spread evenly over them (the first and the last included).
// Call it while no machine exists: the runs fork this process.
FaultRunReport RunFailingEachSite(const FaultScenario& scenario, const MachineOptions& options = {},
                                  size_t maxSites = 0);

// For a scenario whose faults belong to one phase of it: build the machine
// with WithoutFaults(options), set up, then ArmFaults at the phase's start.
// Only allocations from there on are learnt as sites and failed.
MachineOptions WithoutFaults(const MachineOptions& options);
void ArmFaults(Machine& machine, const MachineOptions& options);

// Called by a scenario inside its run: a one-line word on how the run ended
// (what the application saw, what it took to recover), handed back as
// RunOutcome::note. The last call of a run counts.
void ReportOutcome(const std::string& note);

}  // namespace sim

// Systematic fault runs of the port's life as a table: per scenario and per
// driver whose allocations fail, the sites found and tried and how the runs
// ended. Each run is listed as its row finishes ("[ faults   ]" lines); the
// rows are printed at the end of the test program, every line beginning
// "reliability: faults" so that a summary can collect them:
//
//   reliability: faults | <scenario> | <driver> | sites <n> | tried <n> | survived <n> | failed <n> | <recoveries> | <refusals>
//   reliability: faults-failure | <scenario> | <driver> | site <n> in <routine> | <why>
//
// FAULT_SITES limits the sites tried per row, spread evenly over those
// found: unset, kCiSitesPerRow (the bounded run of the normal test suite);
// "all" or 0, every site.
#pragma once

#include <string>

#include "sim/kernel/faultrun.h"

namespace stacktest {

inline constexpr size_t kCiSitesPerRow = 6;

struct FaultRow {
  std::string scenario;
  std::string driver;
  sim::FaultRunReport report;
};

// Runs `scenario` with each allocation site of `driver` failing in turn (as
// many as FAULT_SITES allows) and keeps the row for the table.
FaultRow RunFaultRow(const std::string& scenario, const std::string& driver, const sim::FaultScenario& run);

// The row's lines as printed in the table.
std::string RowLines(const FaultRow& row);

}  // namespace stacktest

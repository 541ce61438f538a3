#include "tests/port/fault_table.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace stacktest {

namespace {

constexpr char kPrefix[] = "reliability: faults";

size_t SitesPerRow() {
  const char* limit = std::getenv("FAULT_SITES");
  if (!limit || !*limit) return kCiSitesPerRow;
  if (std::strcmp(limit, "all") == 0) return 0;
  return (size_t)std::strtoul(limit, nullptr, 10);
}

// "a 3, b 1" from counts, in the order of the map.
std::string Counts(const std::map<std::string, int>& counts) {
  std::string out;
  for (const auto& [what, count] : counts) out += (out.empty() ? "" : ", ") + what + " " + std::to_string(count);
  return out.empty() ? "-" : out;
}

// A run's note is "<recovery>; <step> <STATUS>, ...": the recovery is
// counted per run, each status once per run that was refused with it.
void CountNote(const std::string& note, std::map<std::string, int>& recoveries, std::map<std::string, int>& statuses) {
  size_t split = note.find(';');
  recoveries[note.substr(0, split)]++;
  if (split == std::string::npos) return;
  std::map<std::string, bool> seen;
  for (size_t at = note.find("STATUS_", split); at != std::string::npos; at = note.find("STATUS_", at + 1)) {
    std::string status = note.substr(at, note.find_first_of(", ", at) - at);
    if (!seen[status]) statuses[status]++;
    seen[status] = true;
  }
}

std::string Cell(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

// A failure's first line: a hang report goes on with every thread's state.
std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::vector<FaultRow>& Rows() {
  static std::vector<FaultRow> rows;
  return rows;
}

// Prints the table once every test of the program has run.
class TablePrinter : public ::testing::Environment {
 public:
  void TearDown() override {
    if (Rows().empty()) return;
    std::printf("\nSystematic allocation failures through the whole stack (%s sites per row):\n",
                SitesPerRow() ? std::to_string(SitesPerRow()).c_str() : "all");
    std::printf("%s | %s | %s | sites | tried | survived | failed | recovered | statuses refused\n", kPrefix,
                Cell("scenario", 18).c_str(), Cell("driver", 7).c_str());
    for (const FaultRow& row : Rows()) std::printf("%s", RowLines(row).c_str());
    std::fflush(stdout);
  }
};

[[maybe_unused]] ::testing::Environment* const printer = ::testing::AddGlobalTestEnvironment(new TablePrinter);

}  // namespace

std::string RowLines(const FaultRow& row) {
  const sim::FaultRunReport& report = row.report;
  std::map<std::string, int> recoveries, statuses;
  size_t survived = 0;
  std::string failures;
  std::string where = " | " + Cell(row.scenario, 18) + " | " + Cell(row.driver, 7) + " | ";
  if (!report.baseline.survived)
    failures += std::string(kPrefix) + "-failure" + where + "without faults | " + FirstLine(report.baseline.failure) + "\n";
  for (const sim::SiteOutcome& site : report.sites) {
    if (site.run.survived) {
      ++survived;
      CountNote(site.run.note, recoveries, statuses);
    } else {
      failures += std::string(kPrefix) + "-failure" + where + "site " + std::to_string(site.number) + " in " +
                  site.routine + " | " + FirstLine(site.run.failure) + "\n";
    }
  }
  size_t failed = report.sites.size() - survived + (report.baseline.survived ? 0 : 1);
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, "%5zu | %5zu | %8zu | %6zu | ", report.sitesFound, report.sites.size(),
                survived, failed);
  return std::string(kPrefix) + where + numbers + Counts(recoveries) + " | " + Counts(statuses) + "\n" + failures;
}

FaultRow RunFaultRow(const std::string& scenario, const std::string& driver, const sim::FaultScenario& run) {
  sim::MachineOptions options;
  options.faults.driver = driver;
  // A run left hanging on the one-second timer is reported after ten virtual
  // minutes instead of an hour.
  options.virtualTimeLimit = 600 * sim::kTicksPerSecond;
  FaultRow row{scenario, driver, sim::RunFailingEachSite(run, options, SitesPerRow())};
  std::string detail = row.report.Describe();
  for (size_t line = 0, end; line < detail.size(); line = end + 1) {
    end = detail.find('\n', line);
    std::printf("[ faults   ] %s, %s: %s\n", scenario.c_str(), driver.c_str(),
                detail.substr(line, end - line).c_str());
  }
  std::fflush(stdout);
  Rows().push_back(row);
  return row;
}

}  // namespace stacktest

// The simulator program: a simulated Windows NT machine running the drivers.
#include <cstdio>

#include "sim/kernel/exports.h"
#include "sim/tools/lab/lab.h"
#include "sim/tools/options.h"
#include "sim/tools/selfcheck.h"

namespace {

int ListExports() {
  int implemented = 0, missing = 0;
  for (const sim::Export& entry : sim::ExportTable()) {
    std::printf("%-34s %s\n", entry.name, entry.implemented ? "implemented" : "not yet: stops the machine when called");
    (entry.implemented ? implemented : missing)++;
  }
  std::printf("\n%d routines implemented, %d declared but not yet implemented\n", implemented, missing);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  simulator::Options options = simulator::ParseOptions(argc, argv);
  if (!options.error.empty()) {
    std::fprintf(stderr, "%s: %s\n", argv[0], options.error.c_str());
    return 2;
  }
  if (options.help) {
    simulator::PrintHelp(argv[0]);
    return 0;
  }
  if (options.exports) return ListExports();
  if (options.pty) return simulator::RunLab(options, argv[0]);
  int failures = simulator::RunSelfCheck(options);
  std::printf("\n%s\n", failures ? "SELF-CHECK FAILED" : "Self-check passed.");
  return failures ? 1 : 0;
}

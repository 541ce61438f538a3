#include "sim/tools/report.h"

#include <cstdarg>
#include <cstdio>

#include "sim/kernel/machine.h"
#include "sim/kernel/verifier.h"

namespace simulator {

void Log(const char* format, ...) {
  double seconds = sim::CurrentMachine().Sched().Now() / double(sim::kTicksPerSecond);
  std::printf("[%8.3f s] ", seconds);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::putchar('\n');
  std::fflush(stdout);
}

namespace {
int failures = 0;
}  // namespace

void Check(bool ok, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Log("%s %s", ok ? "ok  " : "FAIL", text);
  if (!ok) ++failures;
}

int Failures() { return failures; }

void Heading(const std::string& title) { std::printf("\n== %s ==\n", title.c_str()); }

void PrintTraceEvent(const sim::TraceEvent& event) {
  std::string indent(2 * (size_t)event.depth, ' ');
  std::string request = sim::MajorFunctionName(event.major);
  if (event.major == IRP_MJ_PNP) request += std::string("/") + sim::PnpMinorName(event.minor);
  switch (event.kind) {
    case sim::TraceEvent::Kind::Dispatch:
      Log("%s-> %s to %s!%s", indent.c_str(), request.c_str(), sim::DriverName(event.driver).c_str(),
          sim::SymbolName(event.routine).c_str());
      break;
    case sim::TraceEvent::Kind::Return:
      Log("%s<- %s!%s returned %s", indent.c_str(), sim::DriverName(event.driver).c_str(),
          sim::SymbolName(event.routine).c_str(), sim::StatusName(event.status).c_str());
      break;
    case sim::TraceEvent::Kind::Complete:
      Log("%s   %s completed by %s: %s, %zu bytes", indent.c_str(), request.c_str(), sim::DriverName(event.driver).c_str(),
          sim::StatusName(event.status).c_str(), (size_t)event.information);
      break;
  }
}

}  // namespace simulator

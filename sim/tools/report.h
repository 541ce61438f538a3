// The simulator's readable log: lines stamped with the kernel clock, and the
// request trace rendered as an indented call tree.
#pragma once

#include <string>

#include "sim/kernel/trace.h"

namespace simulator {

// Prints "[  1.250 s] text" with the machine's kernel time.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Logs "ok   text" or "FAIL text" and counts the failures.
void Check(bool ok, const char* format, ...) __attribute__((format(printf, 2, 3)));
int Failures();
// Prints a section heading.
void Heading(const std::string& title);
// Renders one traced request event.
void PrintTraceEvent(const sim::TraceEvent& event);

}  // namespace simulator

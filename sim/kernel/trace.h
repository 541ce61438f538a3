// A trace of requests as they travel: each dispatch, its return and each
// completion, for the simulator's readable log and for tests.
#pragma once

#include <functional>
#include <mutex>

#include "sim/ddk/ntddk.h"

namespace sim {

struct TraceEvent {
  enum class Kind { Dispatch, Return, Complete };
  Kind kind;
  PIRP irp;
  UCHAR major;
  UCHAR minor;
  PDRIVER_OBJECT driver;   // the driver called (Dispatch, Return) or completing (Complete)
  const void* routine;     // the dispatch routine (Dispatch, Return)
  NTSTATUS status;         // returned (Return) or completed with (Complete)
  ULONG_PTR information;   // Complete
  int depth;               // nesting of dispatch calls on this thread
};

using TraceSink = std::function<void(const TraceEvent&)>;

// Installs (or, with an empty sink, removes) the machine's trace sink.
void SetTraceSink(TraceSink sink);
void Trace(const TraceEvent& event);

// Names for logs: "IRP_MJ_CREATE", "IRP_MN_START_DEVICE", "STATUS_SUCCESS".
const char* MajorFunctionName(UCHAR major);
const char* PnpMinorName(UCHAR minor);
std::string StatusName(NTSTATUS status);

}  // namespace sim

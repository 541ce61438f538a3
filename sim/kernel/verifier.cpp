#include "sim/kernel/verifier.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>

#include "sim/kernel/machine.h"
#include "sim/kernel/thread.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace sim {

const char* RuleName(Rule rule) {
  switch (rule) {
    case Rule::DoubleCompletion: return "DoubleCompletion";
    case Rule::CompleteWithCancelRoutine: return "CompleteWithCancelRoutine";
    case Rule::BadCompletionStatus: return "BadCompletionStatus";
    case Rule::PendingMismatch: return "PendingMismatch";
    case Rule::StatusMismatch: return "StatusMismatch";
    case Rule::LostIrp: return "LostIrp";
    case Rule::CompletionRoutineContract: return "CompletionRoutineContract";
    case Rule::StackLocationMisuse: return "StackLocationMisuse";
    case Rule::FreeIrpInUse: return "FreeIrpInUse";
    case Rule::CancelRoutineOwnership: return "CancelRoutineOwnership";
    case Rule::IrqlDrift: return "IrqlDrift";
    case Rule::SpinLock: return "SpinLock";
    case Rule::CancelSpinLock: return "CancelSpinLock";
    case Rule::LockOrder: return "LockOrder";
    case Rule::IrqlWait: return "IrqlWait";
    case Rule::IrqlPool: return "IrqlPool";
    case Rule::IrqlPassive: return "IrqlPassive";
    case Rule::IrqlDispatch: return "IrqlDispatch";
    case Rule::RaiseLower: return "RaiseLower";
    case Rule::PoolLeak: return "PoolLeak";
    case Rule::UnloadResidue: return "UnloadResidue";
    case Rule::RemoveLock: return "RemoveLock";
    case Rule::UrbLeak: return "UrbLeak";
    case Rule::ActiveObjectFreed: return "ActiveObjectFreed";
    case Rule::MdlMisuse: return "MdlMisuse";
    case Rule::WorkItemMisuse: return "WorkItemMisuse";
    case Rule::PnpRemoveContract: return "PnpRemoveContract";
    case Rule::PnpForwarding: return "PnpForwarding";
    case Rule::AttachFlags: return "AttachFlags";
    case Rule::PowerIrpContract: return "PowerIrpContract";
    case Rule::KernelStop: return "KernelStop";
  }
  return "?";
}

namespace {

// "sim::(anonymous namespace)::Foo(_IRP*, int)" -> "sim::Foo": the name a
// reader looks for, without parameters or anonymous namespaces.
std::string ShortName(std::string text) {
  if (!text.empty() && text.back() == ')') {
    int depth = 0;
    for (size_t i = text.size(); i-- > 0;) {
      if (text[i] == ')') ++depth;
      else if (text[i] == '(' && --depth == 0) {
        text.resize(i);
        break;
      }
    }
  }
  const std::string anonymous = "(anonymous namespace)::";
  for (size_t at; (at = text.find(anonymous)) != std::string::npos;) text.erase(at, anonymous.size());
  return text;
}

std::string Demangle(const char* name) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> out(abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
  return ShortName(status == 0 && out ? out.get() : name);
}

// Routines with internal linkage are not in the dynamic symbol table; ask
// addr2line, which reads the full symbol table of the executable.
std::string Addr2Line(const void* address, const Dl_info& info) {
  if (!info.dli_fname || !info.dli_fbase) return {};
  char command[512];
  auto offset = (uintptr_t)address - (uintptr_t)info.dli_fbase;
  std::snprintf(command, sizeof command, "addr2line -f -C -e '%s' 0x%zx 2>/dev/null", info.dli_fname, (size_t)offset);
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command, "r"), pclose);
  if (!pipe) return {};
  char line[256] = {};
  if (!std::fgets(line, sizeof line, pipe.get())) return {};
  std::string name = line;
  while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
  if (name.empty() || name == "??") return {};
  return ShortName(name);
}

#if defined(__SANITIZE_THREAD__)
// The race detector's build is optimised, and addr2line names code inlined
// into a routine after that routine. The runtime's own symbolizer names the
// innermost routine, inlined ones included, as the unoptimised builds do. It
// expects a return address and looks one byte back: one byte on, it looks at
// `address` itself, which serves entry points and return addresses alike.
std::string InnermostName(const void* address) {
  char text[512] = {};
  __sanitizer_symbolize_pc((void*)((uintptr_t)address + 1), "%f", text, sizeof text);
  std::string name = text;  // the innermost frame comes first
  if (name.empty() || name == "??" || name.find("<null>") != std::string::npos) return {};
  return ShortName(name);
}
#else
std::string InnermostName(const void*) { return {}; }
#endif

}  // namespace

std::string SymbolName(const void* address) {
  if (!address) return "(none)";
  static std::mutex cacheLock;
  static std::map<const void*, std::string> cache;
  {
    std::lock_guard guard(cacheLock);
    if (auto it = cache.find(address); it != cache.end()) return it->second;
  }
  Dl_info info{};
  std::string name;
  if (dladdr(address, &info) && info.dli_sname && info.dli_saddr == address) name = Demangle(info.dli_sname);
  if (name.empty()) name = InnermostName(address);
  if (name.empty()) name = Addr2Line(address, info);
  if (name.empty()) {
    char text[32];
    std::snprintf(text, sizeof text, "routine@%p", address);
    name = text;
  }
  std::lock_guard guard(cacheLock);
  cache[address] = name;
  return name;
}

std::string DriverName(PDRIVER_OBJECT driver) {
  if (!driver) return "kernel";
  std::string name;
  const UNICODE_STRING& s = driver->DriverName;
  for (USHORT i = 0; s.Buffer && i < s.Length / sizeof(WCHAR); ++i) name += (char)(s.Buffer[i] < 128 ? s.Buffer[i] : '?');
  if (name.rfind("\\Driver\\", 0) == 0) name = name.substr(8);
  return name.empty() ? "driver" : name;
}

std::string DescribeIrp(PIRP irp) {
  if (!irp) return "none";
  char text[160];
  std::snprintf(text, sizeof text, "%p", (void*)irp);
  std::string out = text;
  if (irp->Type == IO_TYPE_IRP && irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    std::snprintf(text, sizeof text, " (major 0x%02x, minor 0x%02x, location %d of %d)", stack->MajorFunction,
                  stack->MinorFunction, irp->CurrentLocation, irp->StackCount);
    out += text;
  }
  return out;
}

void VerifierStop(Rule rule, PIRP irp, const char* format, ...) {
  char message[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);

  std::string report = "\n*** VERIFIER STOP: ";
  report += RuleName(rule);
  report += "\n    what:    ";
  report += message;
  KThread* thread = CurrentThreadOrNull();
  report += "\n    thread:  ";
  report += thread ? thread->name : "(not a simulated thread)";
  if (thread && !thread->frames.empty()) {
    const Frame& top = thread->frames.back();
    report += "\n    routine: " + SymbolName(top.routine) + " (" + DriverName(top.driver) + ", " +
              FrameKindName(top.kind) + ")";
    for (size_t i = thread->frames.size() - 1; i-- > 0;) {
      const Frame& f = thread->frames[i];
      report += "\n      from:  " + SymbolName(f.routine) + " (" + DriverName(f.driver) + ", " + FrameKindName(f.kind) + ")";
    }
  } else {
    report += "\n    routine: (kernel)";
  }
  if (irp) report += "\n    irp:     " + DescribeIrp(irp);
  if (thread) report += "\n    irql:    " + std::to_string(thread->irql);
  report += "\n";
  std::fputs(report.c_str(), stderr);
  if (!thread || thread->frames.empty()) {
    // A stop inside the kernel names no driver routine: the native stack says
    // which kernel path got there.
    void* frames[32];
    std::fputs("    native stack:\n", stderr);
    backtrace_symbols_fd(frames, backtrace(frames, 32), fileno(stderr));
  }
  std::fflush(stderr);
  std::fflush(stdout);
  std::abort();
}

void MaybeYield() {
  Machine* machine = CurrentMachineOrNull();
  if (!machine || !machine->Options().delayFuzzSeed) return;
  thread_local std::minstd_rand random(machine->Options().delayFuzzSeed ^ (uint32_t)std::hash<std::thread::id>{}(std::this_thread::get_id()));
  unsigned roll = random() % 100;
  if (roll < 10) std::this_thread::yield();
  else if (roll < 12) std::this_thread::sleep_for(std::chrono::microseconds(random() % 50));
}

void RequireIrqlAtMost(KIRQL maxIrql, Rule rule, const char* routine) {
  KThread* thread = CurrentThread();
  if (thread->irql > maxIrql)
    VerifierStop(rule, nullptr, "%s called at IRQL %d; it may only be called at IRQL <= %d", routine, thread->irql,
                 maxIrql);
}

void RequireIrqlPassive(const char* routine) { RequireIrqlAtMost(PASSIVE_LEVEL, Rule::IrqlPassive, routine); }

}  // namespace sim

// Time as drivers read it: system time, tick count, interrupt time, the
// performance counter (10 MHz) and the time-stamp counter (1 GHz), all from
// the one kernel clock, so that virtual time gives the same answers every run.
#include <atomic>
#include <cstdio>

#include "sim/kernel/machine.h"
#include "sim/kernel/verifier.h"

using namespace sim;

namespace {
constexpr ULONG kTimeIncrement = 156250;  // 15.625 ms per clock tick, as on x86 NT
constexpr LONGLONG kPerformanceFrequency = 10'000'000;
std::atomic<ULONGLONG> timeStampReads{0};
}  // namespace

extern "C" void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  Scheduler& scheduler = CurrentMachine().Sched();
  CurrentTime->QuadPart = scheduler.BootSystemTime() + scheduler.Now();
}

extern "C" void NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) {
  TickCount->QuadPart = CurrentMachine().Sched().Now() / kTimeIncrement;
}

extern "C" ULONG NTAPI KeQueryTimeIncrement(void) { return kTimeIncrement; }

extern "C" ULONGLONG NTAPI KeQueryInterruptTime(void) { return (ULONGLONG)CurrentMachine().Sched().Now(); }

extern "C" LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency) PerformanceFrequency->QuadPart = kPerformanceFrequency;
  LARGE_INTEGER counter;
  counter.QuadPart = CurrentMachine().Sched().Now();  // ticks are 100 ns: exactly 10 MHz
  return counter;
}

// In virtual time the clock stands still while threads run; each read still
// advances the counter by one cycle, so it never goes backwards or repeats.
extern "C" ULONGLONG NTAPI ReadTimeStampCounter(void) {
  return (ULONGLONG)CurrentMachine().Sched().Now() * 100 + timeStampReads.fetch_add(1);
}

// A busy wait on NT: the time passes for the caller, so a driver polling
// until a deadline gets there (rounded up to whole 100-ns ticks).
extern "C" void NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  CurrentMachine().Sched().Stall((Tick)MicroSeconds * 10);
}

extern "C" SIZE_T NTAPI RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
  auto a = (const unsigned char*)Source1, b = (const unsigned char*)Source2;
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

extern "C" ULONG __cdecl DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  std::vfprintf(stderr, Format, args);
  va_end(args);
  return 0;
}

extern "C" void NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  VerifierStop(Rule::KernelStop, nullptr, "KeBugCheckEx(0x%X, %zx, %zx, %zx, %zx) called by the driver", BugCheckCode,
               (size_t)P1, (size_t)P2, (size_t)P3, (size_t)P4);
}

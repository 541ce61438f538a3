// IRP round trips through a two-driver stack.
#include <benchmark/benchmark.h>

#include "bench/benchdriver.h"

namespace {

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(bench::DeviceOf(device).lower, irp);
}

NTSTATUS CompleteSuccess(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// The originator keeps its IRP: completion stops here so it can be freed.
NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

}  // namespace

// Measures one IRP round trip as a driver sends it: IoAllocateIrp, IoCallDriver
// to the upper device, which passes it down to the lower driver, which
// completes it; the originator's completion routine returns
// STATUS_MORE_PROCESSING_REQUIRED and the originator frees the IRP. Includes
// every verifier check on the way. Virtual time.
static void BM_IrpRoundTrip(benchmark::State& state) {
  sim::Machine machine;
  PDRIVER_OBJECT upperDriver = bench::LoadDriver(machine, u"BenchUpper");
  PDRIVER_OBJECT lowerDriver = bench::LoadDriver(machine, u"BenchLower");
  PDEVICE_OBJECT lower = bench::CreateDevice(lowerDriver, CompleteSuccess);
  PDEVICE_OBJECT upper = bench::CreateDevice(upperDriver, PassDown);
  bench::Attach(upper, lower);

  bench::AsDriver(upperDriver, [&] {
    for (auto _ : state) {
      PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
      PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
      RtlZeroMemory(next, sizeof *next);
      next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
      IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
      NTSTATUS status = IoCallDriver(upper, irp);
      benchmark::DoNotOptimize(status);
      IoFreeIrp(irp);
    }
  });
  state.SetItemsProcessed(state.iterations());

  bench::Delete(upper);
  bench::Delete(lower);
}
BENCHMARK(BM_IrpRoundTrip);

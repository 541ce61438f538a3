// The I/O timer for the Wine check: Wine's IoInitializeTimer returns
// STATUS_NOT_IMPLEMENTED (the port's AddDevice would fail) and its
// IoStartTimer/IoStopTimer do nothing. Here each device's I/O timer is a
// periodic one-second kernel timer of the layer (timers.cpp) whose DPC calls
// the driver's routine. The record hangs from DeviceObject->Timer and lives as
// long as the Wine session: the check never deletes the port's device.
#include "tests/wine/compat/compat.h"

namespace {

typedef struct _COMPAT_IO_TIMER {
  KTIMER Timer;
  KDPC Dpc;
  PDEVICE_OBJECT DeviceObject;
  PIO_TIMER_ROUTINE Routine;
  PVOID Context;
} COMPAT_IO_TIMER, *PCOMPAT_IO_TIMER;

const ULONG COMPAT_POOL_TAG = 0x74436f57;  // 'WoCt' in a pool dump

VOID NTAPI IoTimerDpc(PKDPC, PVOID Context, PVOID, PVOID) {
  PCOMPAT_IO_TIMER timer = (PCOMPAT_IO_TIMER)Context;
  timer->Routine(timer->DeviceObject, timer->Context);
}

NTSTATUS NTAPI InitializeTimer(PDEVICE_OBJECT DeviceObject, PIO_TIMER_ROUTINE Routine, PVOID Context) {
  auto timer = (PCOMPAT_IO_TIMER)ExAllocatePoolWithTag(NonPagedPool, sizeof(COMPAT_IO_TIMER), COMPAT_POOL_TAG);
  if (!timer) return STATUS_INSUFFICIENT_RESOURCES;
  CompatInitializeTimer(&timer->Timer);
  CompatInitializeDpc(&timer->Dpc, IoTimerDpc, timer);
  timer->DeviceObject = DeviceObject;
  timer->Routine = Routine;
  timer->Context = Context;
  DeviceObject->Timer = (PIO_TIMER)timer;
  return STATUS_SUCCESS;
}

VOID NTAPI StartTimer(PDEVICE_OBJECT DeviceObject) {
  auto timer = (PCOMPAT_IO_TIMER)DeviceObject->Timer;
  LARGE_INTEGER second;
  second.QuadPart = -10000000LL;
  if (timer) CompatSetTimer(&timer->Timer, second, 1000, &timer->Dpc);
}

VOID NTAPI StopTimer(PDEVICE_OBJECT DeviceObject) {
  auto timer = (PCOMPAT_IO_TIMER)DeviceObject->Timer;
  if (timer) CompatCancelTimer(&timer->Timer);
}

}  // namespace

COMPAT_REPLACE(IoInitializeTimer, InitializeTimer);
COMPAT_REPLACE(IoStartTimer, StartTimer);
COMPAT_REPLACE(IoStopTimer, StopTimer);

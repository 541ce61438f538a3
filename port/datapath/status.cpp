// tolvane: the status loop on the status pipe "\PIPE02", read only for
// devices that have one: each one-byte transfer carries the modem lines (bit
// 0 CTS, bit 1 DSR, bit 2 DCD, bit 3 RI; the high bits mean nothing) and
// becomes ModemStatus, in the bits of a modem status register, with the modem
// events of the lines that changed.
#include "port/routines.h"

namespace {

IO_COMPLETION_ROUTINE StatusReadComplete;

// The line bits of a status byte, as modem status register bits.
ULONG ModemStatusOf(UCHAR StatusByte) {
  return ((StatusByte & 0x01) ? SERIAL_MSR_CTS : 0) | ((StatusByte & 0x02) ? SERIAL_MSR_DSR : 0) |
         ((StatusByte & 0x04) ? SERIAL_MSR_DCD : 0) | ((StatusByte & 0x08) ? SERIAL_MSR_RI : 0);
}

// The serial events of the lines that changed between two values.
ULONG ModemEventsOf(ULONG Changed) {
  return ((Changed & SERIAL_MSR_CTS) ? SERIAL_EV_CTS : 0) | ((Changed & SERIAL_MSR_DSR) ? SERIAL_EV_DSR : 0) |
         ((Changed & SERIAL_MSR_DCD) ? SERIAL_EV_RLSD : 0) | ((Changed & SERIAL_MSR_RI) ? SERIAL_EV_RING : 0);
}

// A read of the status pipe completed, at up to DISPATCH_LEVEL. A failed read
// ends the loop until a stop and a start, or, when the pipe driver had no
// memory for it, until the next read request starts it again; a transfer of
// no byte changes nothing and the next read follows.
NTSTATUS NTAPI StatusReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PPORT_EXTENSION extension = (PPORT_EXTENSION)Context;
  STATUS_PIPE_CONTEXT& pipe = extension->StatusPipe;
  IO_STATUS_BLOCK done = ReleasePipeRead(Irp);
  if (!NT_SUCCESS(done.Status)) {
    EndPipeLoop(&pipe, done.Status == STATUS_INSUFFICIENT_RESOURCES);
  } else {
    if (done.Information) SetModemStatus(extension, pipe.StatusBytes[0]);
    CompleteWaitIfSatisfied(extension->DeviceObject);
    PostPipeRead(extension, &pipe, pipe.Buffer, pipe.Length);
  }
  DecrementBusy(extension);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// The status pipe is read only for devices that have one.
BOOLEAN StatusPipeInUse(PPORT_EXTENSION Extension) {
  return Extension->EndPointCaps != 0 && Extension->StatusPipe.CxPollPeriod >= 0;
}

void InitializeStatusPath(PPORT_EXTENSION Extension) {
  STATUS_PIPE_CONTEXT& pipe = Extension->StatusPipe;
  InitializePipeLoop(&pipe, StatusReadComplete);
  pipe.Buffer = pipe.StatusBytes;
  pipe.Length = 1;
}

NTSTATUS StartStatusPipe(PPORT_EXTENSION Extension) {
  if (!StatusPipeInUse(Extension)) return STATUS_SUCCESS;
  return StartPipeLoop(Extension, &Extension->StatusPipe);
}

NTSTATUS StopStatusPipe(PPORT_EXTENSION Extension) {
  if (StatusPipeInUse(Extension)) StopPipeLoop(Extension, &Extension->StatusPipe, NULL);
  return STATUS_SUCCESS;
}

// A device of variant 3 without a status pipe has no way to report its lines:
// they are taken as up (0x03) while it is bound and down (0) once it is gone.
void SynthesizeModemLines(PPORT_EXTENSION Extension, UCHAR Lines) {
  if (Extension->EndPointCaps == 3 && Extension->StatusPipe.CxPollPeriod < 0) SetModemStatus(Extension, Lines);
}

// Applies a status byte: ModemStatus takes its lines, StatusEvent wakes an
// open waiting for CTS, and each line that changed, on either edge, raises
// its event in one call. Completes no wait itself. The value is exchanged
// atomically, so two updates racing each other both raise what they changed.
// Up to DISPATCH_LEVEL.
void SetModemStatus(PPORT_EXTENSION Extension, UCHAR StatusByte) {
  ULONG status = ModemStatusOf(StatusByte);
  ULONG previous = (ULONG)InterlockedExchange((volatile LONG*)&Extension->StatusPipe.ModemStatus, (LONG)status);
  KeSetEvent(&Extension->StatusEvent, IO_NO_INCREMENT, FALSE);
  if (previous != status) RaiseWaitEvents(Extension->DeviceObject, ModemEventsOf(previous ^ status));
}

// tolvane: the requests about the port's queues and status: queue size,
// purge, comm status, the properties block and the performance counters.
#include "port/routines.h"

namespace {

ULONG InputLength(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength; }
ULONG OutputLength(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength; }

// Replaces the receive ring's storage; bytes held before are lost. The input
// loop is stopped around the replacement so that no pipe read lands in the
// old storage. A size of 0 would leave the port unable to receive and is
// refused, as is a buffer too short to hold SERIAL_QUEUE_SIZE. When the new
// storage cannot be allocated, the ring keeps its old one and nothing is
// reported. The request ends with the status of restarting the input loop.
NTSTATUS SetQueueSize(PPORT_EXTENSION Extension, PIRP Irp) {
  if (InputLength(Irp) < sizeof(SERIAL_QUEUE_SIZE)) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  ULONG inSize = ((PSERIAL_QUEUE_SIZE)Irp->AssociatedIrp.SystemBuffer)->InSize;
  if (inSize == 0) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  StopReceive(Extension);
  PUCHAR storage = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, inSize, PORT_POOL_TAG);
  if (storage) {
    RingReplaceStorage(&Extension->RxRing, storage, inSize);
    KIRQL irql = KfAcquireSpinLock(&Extension->RxRing.Lock);
    Extension->RxQueueSize = inSize;
    KfReleaseSpinLock(&Extension->RxRing.Lock, irql);
  }
  SendPipeControl(Extension, IOCTL_PIPE_RESET_PIPE, &Extension->InputPipe);
  NTSTATUS status = StartReceive(Extension);
  if (status == STATUS_PENDING) status = STATUS_SUCCESS;
  return CompleteRequest(Irp, status, 0);
}

// Acts on the mask's bits in a fixed order: abort reads, empty the receive
// ring, abort writes, empty the transmit side. The mask stays in the system
// buffer and is reported back when the caller gave room for it.
NTSTATUS Purge(PPORT_EXTENSION Extension, PIRP Irp) {
  if (InputLength(Irp) < sizeof(ULONG)) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  ULONG mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
  if (mask & SERIAL_PURGE_RXABORT) CancelReadRequests(Extension);
  if (mask & SERIAL_PURGE_RXCLEAR) RingReset(&Extension->RxRing);
  if (mask & SERIAL_PURGE_TXABORT) {
    StopTransmit(Extension);
    CancelWriteRequests(Extension);
    AllowTransmit(Extension);
  }
  if (mask & SERIAL_PURGE_TXCLEAR) ResetTransmit(Extension);
  return CompleteRequest(Irp, STATUS_SUCCESS, OutputLength(Irp) >= sizeof(ULONG) ? sizeof(ULONG) : 0);
}

// CommStatus as kept, with the receive ring's count as the input queue. The
// two locks are taken one after the other, never nested. Errors clear on read.
NTSTATUS GetCommStatus(PPORT_EXTENSION Extension, PIRP Irp) {
  if (OutputLength(Irp) < sizeof(SERIAL_STATUS)) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  PSERIAL_STATUS status = (PSERIAL_STATUS)Irp->AssociatedIrp.SystemBuffer;
  KIRQL irql = KfAcquireSpinLock(&Extension->CommStatusLock);
  *status = Extension->CommStatus;
  KfReleaseSpinLock(&Extension->CommStatusLock, irql);
  status->AmountInInQueue = RingCount(&Extension->RxRing);
  irql = KfAcquireSpinLock(&Extension->CommStatusLock);
  Extension->CommStatus.Errors = 0;
  KfReleaseSpinLock(&Extension->CommStatusLock, irql);
  return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(SERIAL_STATUS));
}

// The properties block: the same for every device variant.
NTSTATUS GetProperties(PPORT_EXTENSION Extension, PIRP Irp) {
  if (OutputLength(Irp) < sizeof(SERIAL_COMMPROP)) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  PSERIAL_COMMPROP properties = (PSERIAL_COMMPROP)Irp->AssociatedIrp.SystemBuffer;
  RtlZeroMemory(properties, sizeof(SERIAL_COMMPROP));
  properties->PacketLength = sizeof(SERIAL_COMMPROP);
  properties->PacketVersion = 2;
  properties->ServiceMask = SERIAL_SP_SERIALCOMM;
  properties->MaxBaud = SERIAL_BAUD_115200;
  properties->ProvSubType = SERIAL_SP_RS232;
  properties->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD | SERIAL_PCF_XONXOFF |
                                 SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS;
  properties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |
                               SERIAL_SP_HANDSHAKING | SERIAL_SP_CARRIER_DETECT;
  properties->SettableBaud = SERIAL_BAUD_600 | SERIAL_BAUD_1200 | SERIAL_BAUD_2400 | SERIAL_BAUD_4800 |
                             SERIAL_BAUD_9600 | SERIAL_BAUD_19200 | SERIAL_BAUD_38400 | SERIAL_BAUD_115200;
  properties->SettableData = SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
  properties->SettableStopParity =
      SERIAL_STOPBITS_10 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE | SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN;
  properties->CurrentTxQueue = Extension->TxQueueSize;
  properties->CurrentRxQueue = Extension->RxQueueSize;
  return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(SERIAL_COMMPROP));
}

// No counter is ever incremented: the block is only returned and cleared.
NTSTATUS GetStats(PPORT_EXTENSION Extension, PIRP Irp) {
  if (OutputLength(Irp) < sizeof(SERIALPERF_STATS)) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  *(PSERIALPERF_STATS)Irp->AssociatedIrp.SystemBuffer = Extension->PerfStats;
  return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(SERIALPERF_STATS));
}

}  // namespace

// CommStatus starts afresh (a target was bound or went, the system woke): no
// errors, no hold reasons, no end-of-file. The output queue count and the
// immediate character's flag stay: they describe requests the port still
// holds, and fall when those complete.
void ClearCommStatus(PPORT_EXTENSION Extension) {
  KIRQL irql = KfAcquireSpinLock(&Extension->CommStatusLock);
  SERIAL_STATUS kept = {};
  kept.AmountInOutQueue = Extension->CommStatus.AmountInOutQueue;
  kept.WaitForImmediate = Extension->CommStatus.WaitForImmediate;
  Extension->CommStatus = kept;
  KfReleaseSpinLock(&Extension->CommStatusLock, irql);
}

// PASSIVE_LEVEL: purges and queue-size changes stop loops and wait.
NTSTATUS SerialQueueRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if (Code == IOCTL_SERIAL_PURGE) return Purge(extension, Irp);
  if (Code == IOCTL_SERIAL_CLEAR_STATS) {
    RtlZeroMemory(&extension->PerfStats, sizeof extension->PerfStats);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
  }
  if (RemovalBegun(extension)) return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  switch (Code) {
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
      return SetQueueSize(extension, Irp);
    case IOCTL_SERIAL_GET_COMMSTATUS:
      return GetCommStatus(extension, Irp);
    case IOCTL_SERIAL_GET_PROPERTIES:
      return GetProperties(extension, Irp);
    default:  // IOCTL_SERIAL_GET_STATS
      return GetStats(extension, Irp);
  }
}

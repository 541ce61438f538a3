// merrow: reads and writes on pipe files. On bulk and interrupt pipes a
// request is cut into segments of at most the pipe's SegmentSize, each one USB
// transfer started from the completion of the previous one; a short segment
// ends the request. On isochronous pipes a request is one transfer of as many
// packets as its length needs, optionally scheduled for a chosen frame, and
// feeds the pipe's statistics. Control pipes cannot be read or written.
#include "pipe/routines.h"

// Each allocation is its own call, so fault injection can fail each one.
#define AllocateNonPaged(Size) ExAllocatePoolWithTag(NonPagedPool, (Size), PIPE_POOL_TAG)
static void FreePool(PVOID Buffer) { ExFreePoolWithTag(Buffer, PIPE_POOL_TAG); }

// Points the request's next stack location at the bus driver with Urb.
static void SetUrbStackLocation(PIRP Irp, PURB Urb) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->MinorFunction = 0;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = Urb;
}

// Statistics, fed by isochronous transfers. The counters are plain 64-bit
// fields updated without a lock at up to DISPATCH_LEVEL; a reader may see one
// update half applied.

// An isochronous transfer's URB with the counters taken at its start, so
// that its completion adds the time and cycles that very transfer took, even
// while another transfer on the pipe overlaps it.
typedef struct _ISOCH_TRANSFER {
  LONGLONG CounterStart;  // performance counter at the start
  LONGLONG CycleStart;    // time-stamp counter at the start
  URB Urb;                // variable length: GET_ISO_URB_SIZE(packets) bytes
} ISOCH_TRANSFER, *PISOCH_TRANSFER;

static void RecordTransferStart(PISOCH_TRANSFER Transfer) {
  Transfer->CounterStart = KeQueryPerformanceCounter(NULL).QuadPart;
  Transfer->CycleStart = (LONGLONG)ReadTimeStampCounter();
}

static void UpdateStatistics(PPIPE_TABLE_ENTRY Pipe, PISOCH_TRANSFER Transfer, ULONG Bytes) {
  if (!Pipe->StatisticsEnabled) return;
  Pipe->CycleCount += (LONGLONG)ReadTimeStampCounter() - Transfer->CycleStart;
  Pipe->TotalBytes += Bytes;
  Pipe->CounterTicks += KeQueryPerformanceCounter(NULL).QuadPart - Transfer->CounterStart;
}

// Segmented transfer (bulk and interrupt).

static NTSTATUS NTAPI SegmentComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

static void FreeSegmentTransfer(PSEGMENT_TRANSFER Transfer) {
  if (Transfer->Urb) FreePool(Transfer->Urb);
  if (Transfer->PartialMdl) IoFreeMdl(Transfer->PartialMdl);
  FreePool(Transfer);
}

// The context is freed before the request's count is released, so a removal
// waiting for the count finds no pool left.
static void EndSegmentTransfer(PSEGMENT_TRANSFER Transfer) {
  PDEVICE_OBJECT device = Transfer->DeviceObject;
  FreeSegmentTransfer(Transfer);
  DecrementIoCount(device);
}

// Hands the segment the context describes to the bus driver. Any IRQL up to
// DISPATCH_LEVEL. A lower driver may complete the segment before IoCallDriver
// returns; the completion then leaves the next segment (or the end of the
// request) to this loop instead of nesting another call chain on the stack,
// one per segment. Once the loop has gone back to SegmentIdle, the segment
// completion owns the request and the context.
static void SendSegment(PIRP Irp, PSEGMENT_TRANSFER Transfer) {
  for (;;) {
    InterlockedExchange(&Transfer->SendState, SegmentSending);
    SetUrbStackLocation(Irp, Transfer->Urb);
    IoSetCompletionRoutine(Irp, SegmentComplete, Transfer, TRUE, TRUE, TRUE);
    IoCallDriver(PipeExtension(Transfer->DeviceObject)->LowerDeviceObject, Irp);
    LONG state = InterlockedCompareExchange(&Transfer->SendState, SegmentIdle, SegmentSending);
    if (state == SegmentSending) return;
    if (state == SegmentFinished) {
      EndSegmentTransfer(Transfer);
      return;
    }
  }
}

// The request's buffer must stay reachable by system address from segment to
// segment; a partial MDL built from a mapped parent shares its mapping.
static void MapRequestBuffer(PMDL Mdl) {
  if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return;
  MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, NULL, FALSE, NormalPagePriority);
}

// Rebuilds the partial MDL and the URB in place for the next segment.
static void PrepareNextSegment(PIRP Irp, PSEGMENT_TRANSFER Transfer) {
  ULONG length = Transfer->BytesRemaining < Transfer->SegmentSize ? Transfer->BytesRemaining : Transfer->SegmentSize;
  PMDL partial = Transfer->PartialMdl;
  if (partial->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) MmUnmapLockedPages(partial->MappedSystemVa, partial);
  IoBuildPartialMdl(Irp->MdlAddress, partial, Transfer->NextVirtualAddress, length);
  Transfer->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
  Transfer->NextVirtualAddress = (PUCHAR)Transfer->NextVirtualAddress + length;
  Transfer->BytesRemaining -= length;
}

// Runs at up to DISPATCH_LEVEL after each segment. A failed segment (an
// error, a cancellation) or a short one ends the request with what has
// arrived and the status of that segment; only a full, successful segment
// lets the next one go. While the segment's sender is still inside
// IoCallDriver, the next segment or the end of the context is left to it.
static NTSTATUS NTAPI SegmentComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PSEGMENT_TRANSFER transfer = (PSEGMENT_TRANSFER)Context;
  ULONG returned = transfer->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  transfer->BytesTransferred += returned;
  MapRequestBuffer(Irp->MdlAddress);
  if (NT_SUCCESS(Irp->IoStatus.Status) && transfer->BytesRemaining != 0 && returned == transfer->SegmentSize) {
    PrepareNextSegment(Irp, transfer);
    if (InterlockedCompareExchange(&transfer->SendState, SegmentNextReady, SegmentSending) != SegmentSending)
      SendSegment(Irp, transfer);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  Irp->IoStatus.Information = transfer->BytesTransferred;
  NTSTATUS status = Irp->IoStatus.Status;
  if (InterlockedCompareExchange(&transfer->SendState, SegmentFinished, SegmentSending) != SegmentSending)
    EndSegmentTransfer(transfer);
  return status;
}

// Builds the context, the partial MDL and the URB of the first segment.
// Returns NULL when any allocation fails, with nothing left allocated.
static PSEGMENT_TRANSFER NewSegmentTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PPIPE_TABLE_ENTRY Pipe,
                                            BOOLEAN Read) {
  PSEGMENT_TRANSFER transfer = (PSEGMENT_TRANSFER)AllocateNonPaged(sizeof(SEGMENT_TRANSFER));
  if (!transfer) return NULL;
  RtlZeroMemory(transfer, sizeof(*transfer));
  ULONG total = MmGetMdlByteCount(Irp->MdlAddress);
  PVOID start = MmGetMdlVirtualAddress(Irp->MdlAddress);
  ULONG first = total < Pipe->SegmentSize ? total : Pipe->SegmentSize;
  transfer->PartialMdl = IoAllocateMdl(start, total, FALSE, FALSE, NULL);
  transfer->Urb = (PURB)AllocateNonPaged(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  if (!transfer->PartialMdl || !transfer->Urb) {
    FreeSegmentTransfer(transfer);
    return NULL;
  }
  IoBuildPartialMdl(Irp->MdlAddress, transfer->PartialMdl, start, first);
  RtlZeroMemory(transfer->Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  UsbBuildInterruptOrBulkTransferRequest(transfer->Urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         Pipe->PipeInfo->PipeHandle, NULL, transfer->PartialMdl, first,
                                         USBD_SHORT_TRANSFER_OK | (Read ? USBD_TRANSFER_DIRECTION_IN : 0), NULL);
  transfer->DeviceObject = DeviceObject;
  transfer->BytesRemaining = total - first;
  transfer->BytesTransferred = 0;
  transfer->NextVirtualAddress = (PUCHAR)start + first;
  transfer->SegmentSize = Pipe->SegmentSize;
  return transfer;
}

// A segment size of 0 could never move a byte, so such a pipe refuses its
// requests instead of sending segments that end nothing.
static NTSTATUS StartSegmentedTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PPIPE_TABLE_ENTRY Pipe, BOOLEAN Read) {
  if (Pipe->SegmentSize == 0) return STATUS_INVALID_PARAMETER;
  PSEGMENT_TRANSFER transfer = NewSegmentTransfer(DeviceObject, Irp, Pipe, Read);
  if (!transfer) return STATUS_INSUFFICIENT_RESOURCES;
  IoMarkIrpPending(Irp);
  SendSegment(Irp, transfer);
  return STATUS_PENDING;
}

// Isochronous transfer. PASSIVE_LEVEL: it waits for the pipe reset and, if
// the bus driver pends it, for the frame number.

// The most packets one URB can describe: its header's length is 16 bits, and
// GET_ISO_URB_SIZE counts one descriptor more than the packets.
#define MAXIMUM_ISO_PACKETS ((0xFFFF - sizeof(struct _URB_ISOCH_TRANSFER)) / sizeof(USBD_ISO_PACKET_DESCRIPTOR))
static_assert(GET_ISO_URB_SIZE(MAXIMUM_ISO_PACKETS) <= 0xFFFF, "the largest isochronous URB fits its length field");

static NTSTATUS NTAPI FrameNumberComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Asks the bus for its current frame number by lending it the read or write
// request, which comes back untouched. A pended answer is waited for, so the
// number read is never the preset 0xFFFFFFFF.
static NTSTATUS QueryFrameNumber(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG FrameNumber) {
  struct _URB_GET_CURRENT_FRAME_NUMBER urb;
  RtlZeroMemory(&urb, sizeof(urb));
  urb.Hdr.Length = (USHORT)sizeof(urb);
  urb.Hdr.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
  urb.FrameNumber = 0xFFFFFFFF;
  KEVENT answered;
  KeInitializeEvent(&answered, NotificationEvent, FALSE);
  SetUrbStackLocation(Irp, (PURB)&urb);
  IoSetCompletionRoutine(Irp, FrameNumberComplete, &answered, TRUE, TRUE, TRUE);
  if (IoCallDriver(PipeExtension(DeviceObject)->LowerDeviceObject, Irp) == STATUS_PENDING)
    KeWaitForSingleObject(&answered, Executive, KernelMode, FALSE, NULL);
  *FrameNumber = urb.FrameNumber;
  return Irp->IoStatus.Status;
}

// Runs at up to DISPATCH_LEVEL. The statistics go to the file's pipe only
// while its configuration is current, and count only transfers that
// succeeded: a failed one moved no data worth a rate.
static NTSTATUS NTAPI IsochComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PISOCH_TRANSFER transfer = (PISOCH_TRANSFER)Context;
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  ULONG returned = transfer->Urb.UrbIsochronousTransfer.TransferBufferLength;
  Irp->IoStatus.Information = returned;
  PPIPE_TABLE_ENTRY pipe = PipeFromFile(DeviceObject, IoGetCurrentIrpStackLocation(Irp)->FileObject);
  if (pipe && NT_SUCCESS(Irp->IoStatus.Status)) UpdateStatistics(pipe, transfer, returned);
  FreePool(transfer);
  DecrementIoCount(DeviceObject);
  return STATUS_SUCCESS;
}

static PISOCH_TRANSFER NewIsochTransfer(PPIPE_TABLE_ENTRY Pipe, PIRP Irp, ULONG Packets, BOOLEAN Read) {
  ULONG size = (ULONG)GET_ISO_URB_SIZE(Packets);
  ULONG total = FIELD_OFFSET(ISOCH_TRANSFER, Urb) + size;
  PISOCH_TRANSFER transfer = (PISOCH_TRANSFER)AllocateNonPaged(total);
  if (!transfer) return NULL;
  RtlZeroMemory(transfer, total);
  struct _URB_ISOCH_TRANSFER* iso = &transfer->Urb.UrbIsochronousTransfer;
  iso->Hdr.Length = (USHORT)size;
  iso->Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  iso->PipeHandle = Pipe->PipeInfo->PipeHandle;
  iso->TransferFlags = Read ? USBD_TRANSFER_DIRECTION_IN : 0;
  iso->TransferBufferLength = MmGetMdlByteCount(Irp->MdlAddress);
  iso->TransferBufferMDL = Irp->MdlAddress;
  iso->NumberOfPackets = Packets;
  for (ULONG i = 0; i < Packets; i++) iso->IsoPacket[i].Offset = i * Pipe->PipeInfo->MaximumPacketSize;
  return transfer;
}

// A byte offset with a nonzero high part schedules the transfer that many
// frames (the low part) after the current one; otherwise as soon as possible.
static NTSTATUS SetStartFrame(PDEVICE_OBJECT DeviceObject, PIRP Irp, PURB Urb, BOOLEAN Read) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  LARGE_INTEGER offset = Read ? stack->Parameters.Read.ByteOffset : stack->Parameters.Write.ByteOffset;
  if (offset.HighPart == 0) {
    Urb->UrbIsochronousTransfer.TransferFlags |= USBD_START_ISO_TRANSFER_ASAP;
    return STATUS_SUCCESS;
  }
  ULONG frame;
  NTSTATUS status = QueryFrameNumber(DeviceObject, Irp, &frame);
  Urb->UrbIsochronousTransfer.StartFrame = frame + offset.LowPart;
  return status;
}

// A packet size of 0 has no packet count, and more packets than one URB can
// describe cannot be sent: both refuse the request before anything is sent.
static NTSTATUS StartIsochronousTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PPIPE_TABLE_ENTRY Pipe,
                                         BOOLEAN Read) {
  ULONG total = MmGetMdlByteCount(Irp->MdlAddress);
  ULONG packetSize = Pipe->PipeInfo->MaximumPacketSize;
  if (packetSize == 0) return STATUS_INVALID_PARAMETER;
  ULONG packets = total / packetSize + (total % packetSize ? 1 : 0);
  if (packets > MAXIMUM_ISO_PACKETS) return STATUS_INVALID_PARAMETER;
  ResetPipe(DeviceObject, Pipe);
  PISOCH_TRANSFER transfer = NewIsochTransfer(Pipe, Irp, packets, Read);
  if (!transfer) return STATUS_INSUFFICIENT_RESOURCES;
  // A failed frame-number query fails the request: a transfer the caller
  // asked to schedule at a chosen frame must not go out at another.
  NTSTATUS status = SetStartFrame(DeviceObject, Irp, &transfer->Urb, Read);
  if (!NT_SUCCESS(status)) {
    FreePool(transfer);
    return status;
  }
  RecordTransferStart(transfer);
  SetUrbStackLocation(Irp, &transfer->Urb);
  IoSetCompletionRoutine(Irp, IsochComplete, transfer, TRUE, TRUE, TRUE);
  IoMarkIrpPending(Irp);
  IoCallDriver(PipeExtension(DeviceObject)->LowerDeviceObject, Irp);
  return STATUS_PENDING;
}

// Dispatch.

// Completes what is refused or has nothing to move; hands the rest to the bus
// driver and returns STATUS_PENDING, the last completion releasing the count.
static NTSTATUS ReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Read) {
  IncrementIoCount(DeviceObject);
  NTSTATUS status = STATUS_DELETE_PENDING;
  if (CanAcceptRequests(DeviceObject)) {
    PPIPE_TABLE_ENTRY pipe = PipeFromFile(DeviceObject, IoGetCurrentIrpStackLocation(Irp)->FileObject);
    ULONG type = pipe ? pipe->PipeInfo->PipeType : UsbdPipeTypeControl;
    BOOLEAN empty = !Irp->MdlAddress || MmGetMdlByteCount(Irp->MdlAddress) == 0;
    if (!pipe) {
      status = STATUS_INVALID_HANDLE;
    } else if (type != UsbdPipeTypeBulk && type != UsbdPipeTypeInterrupt && type != UsbdPipeTypeIsochronous) {
      status = STATUS_INVALID_PARAMETER;
    } else if (empty) {
      status = STATUS_SUCCESS;
    } else if (type == UsbdPipeTypeIsochronous) {
      status = StartIsochronousTransfer(DeviceObject, Irp, pipe, Read);
    } else {
      status = StartSegmentedTransfer(DeviceObject, Irp, pipe, Read);
    }
  }
  if (status == STATUS_PENDING) return status;
  CompletePipeRequest(Irp, status, 0);
  DecrementIoCount(DeviceObject);
  return status;
}

NTSTATUS NTAPI PipeRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return ReadWrite(DeviceObject, Irp, TRUE); }

NTSTATUS NTAPI PipeWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return ReadWrite(DeviceObject, Irp, FALSE); }

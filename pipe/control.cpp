// merrow: the private control interface. Thirteen IOCTL_PIPE_* codes, some
// acting on the device (descriptor, vendor and class control transfers, the
// hub port), some on the pipe bound to the request's file (information,
// reset, abort, packet size, statistics). Every handler finishes before the
// dispatch routine returns: no request is left pending here. Input and output
// share the system buffer (METHOD_BUFFERED).
#include "pipe/routines.h"

// What a handler gets: the request, its system buffer and the two lengths.
typedef struct _PIPE_CONTROL_REQUEST {
  PDEVICE_OBJECT DeviceObject;
  PIRP Irp;
  PVOID Buffer;
  ULONG InputLength;
  ULONG OutputLength;
  PPIPE_TABLE_ENTRY Pipe;  // the file's pipe in the current configuration, else NULL
} PIPE_CONTROL_REQUEST, *PPIPE_CONTROL_REQUEST;

// Each allocation is its own call, so fault injection can fail each one.
#define AllocateUrb(Size) ((PURB)ExAllocatePoolWithTag(NonPagedPool, (Size), PIPE_POOL_TAG))

static void FreeUrb(PURB Urb) { ExFreePoolWithTag(Urb, PIPE_POOL_TAG); }

// Device-level codes.

// The stored configuration descriptor, wTotalLength bytes. A started device
// whose configuration was released (a failed unconfigure at stop) has none
// to give and is treated as not usable.
static NTSTATUS GetConfigDescriptor(PPIPE_CONTROL_REQUEST Request) {
  PUSB_CONFIG_RECORD record = PipeExtension(Request->DeviceObject)->ConfigRecord;
  if (!record || !record->ConfigurationDescriptor) return STATUS_DELETE_PENDING;
  ULONG length = record->ConfigurationDescriptor->wTotalLength;
  if (Request->OutputLength < length) return STATUS_BUFFER_TOO_SMALL;
  RtlCopyMemory(Request->Buffer, record->ConfigurationDescriptor, length);
  Request->Irp->IoStatus.Information = length;
  return STATUS_SUCCESS;
}

// Re-enables the hub port of a device that is connected but disabled, and
// resets it when enabling fails. PASSIVE_LEVEL.
static NTSTATUS EnsurePortEnabled(PPIPE_CONTROL_REQUEST Request) {
  ULONG portStatus = 0;
  NTSTATUS status = CallLowerSync(Request->DeviceObject, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, Executive);
  if (!NT_SUCCESS(status)) return status;
  if ((portStatus & USBD_PORT_ENABLED) || !(portStatus & USBD_PORT_CONNECTED)) return STATUS_SUCCESS;
  status = CallLowerSync(Request->DeviceObject, IOCTL_INTERNAL_USB_ENABLE_PORT, NULL, Suspended);
  if (NT_SUCCESS(status)) return status;
  return CallLowerSync(Request->DeviceObject, IOCTL_INTERNAL_USB_RESET_PORT, NULL, Executive);
}

// Vendor request 0x0B to the device, host to device, value 0, index 0: the
// setup packet 0x40 0x0B 0 0 len, the input as its data stage.
static NTSTATUS VendorCommand(PPIPE_CONTROL_REQUEST Request) {
  PURB urb = AllocateUrb(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  ULONG length = Request->Buffer ? Request->InputLength : 0;
  UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        0, 0, PIPE_VENDOR_REQUEST, 0, 0, Request->Buffer, NULL, length, NULL);
  NTSTATUS status = SubmitUrbSync(Request->DeviceObject, urb);
  FreeUrb(urb);
  return status;
}

// The URB function of a class or vendor request to a recipient 0 to 3.
static USHORT ControlFunction(UCHAR Type, UCHAR Recipient) {
  static const USHORT classFunctions[4] = {URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE,
                                           URB_FUNCTION_CLASS_ENDPOINT, URB_FUNCTION_CLASS_OTHER};
  static const USHORT vendorFunctions[4] = {URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE,
                                            URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER};
  return Type == BMREQUEST_CLASS ? classFunctions[Recipient] : vendorFunctions[Recipient];
}

// A class or vendor control transfer described by the setup packet at the
// start of the input. A device-to-host data stage is received over the setup
// packet, from the buffer's first byte, and the request reports the bytes
// the device sent; a host-to-device data stage follows the setup packet.
static NTSTATUS ControlTransfer(PPIPE_CONTROL_REQUEST Request) {
  if (Request->InputLength < sizeof(PIPE_SETUP_PACKET)) return STATUS_INVALID_PARAMETER;
  PIPE_SETUP_PACKET setup = *(PPIPE_SETUP_PACKET)Request->Buffer;
  BOOLEAN in = (setup.RequestType & 0x80) != 0;
  UCHAR type = (setup.RequestType >> 5) & 3;
  UCHAR recipient = setup.RequestType & 0x1F;
  PVOID data = in ? Request->Buffer : (PUCHAR)Request->Buffer + sizeof(PIPE_SETUP_PACKET);
  if (in ? Request->OutputLength < setup.Length : Request->InputLength < setup.Length + sizeof(PIPE_SETUP_PACKET))
    return STATUS_INVALID_PARAMETER;
  if ((type != BMREQUEST_CLASS && type != BMREQUEST_VENDOR) || recipient > 3) return STATUS_INVALID_PARAMETER;
  if (setup.Length && !data) return STATUS_INVALID_PARAMETER;
  PURB urb = AllocateUrb(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  UsbBuildVendorRequest(urb, ControlFunction(type, recipient),
                        (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        in ? USBD_TRANSFER_DIRECTION_IN : 0, 0, setup.Request, setup.Value, setup.Index, data, NULL,
                        setup.Length, NULL);
  NTSTATUS status = SubmitUrbSync(Request->DeviceObject, urb);
  if (NT_SUCCESS(status) && in) Request->Irp->IoStatus.Information = urb->UrbControlVendorClassRequest.TransferBufferLength;
  FreeUrb(urb);
  return status;
}

// Cycling the port makes the hub re-enumerate the device: PASSIVE_LEVEL only.
static NTSTATUS CyclePort(PPIPE_CONTROL_REQUEST Request) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_UNSUCCESSFUL;
  return CallLowerSync(Request->DeviceObject, IOCTL_INTERNAL_USB_CYCLE_PORT, NULL, Executive);
}

// Pipe-level codes: Request->Pipe is checked by the dispatch.

static NTSTATUS GetPipeInfo(PPIPE_CONTROL_REQUEST Request) {
  if (Request->OutputLength < sizeof(PIPE_INFO_OUTPUT)) return STATUS_BUFFER_TOO_SMALL;
  RtlCopyMemory(Request->Buffer, Request->Pipe->PipeInfo, sizeof(PIPE_INFO_OUTPUT));
  Request->Irp->IoStatus.Information = sizeof(PIPE_INFO_OUTPUT);
  return STATUS_SUCCESS;
}

static NTSTATUS StartStatistics(PPIPE_CONTROL_REQUEST Request) {
  PPIPE_TABLE_ENTRY pipe = Request->Pipe;
  pipe->TotalBytes = 0;
  pipe->CounterTicks = 0;
  pipe->CycleCount = 0;
  pipe->StatisticsEnabled = TRUE;
  return STATUS_SUCCESS;
}

static NTSTATUS StopStatistics(PPIPE_CONTROL_REQUEST Request) {
  Request->Pipe->StatisticsEnabled = FALSE;
  return STATUS_SUCCESS;
}

// Bytes per second from the bytes moved and the performance-counter ticks
// the transfers took, and time-stamp-counter cycles per byte. Divisions are
// 64 by 32 bits, keeping the low 32 bits of the quotient; a divisor of 0
// cannot fault: the ticks become 1 (and are stored so), the cycles per byte 0.
static NTSTATUS GetStatistics(PPIPE_CONTROL_REQUEST Request) {
  if (Request->OutputLength < sizeof(PIPE_STATISTICS)) return STATUS_BUFFER_TOO_SMALL;
  PPIPE_TABLE_ENTRY pipe = Request->Pipe;
  LARGE_INTEGER frequency;
  KeQueryPerformanceCounter(&frequency);
  ULONG ticks = (ULONG)pipe->CounterTicks;
  if (ticks == 0) {
    ticks = 1;
    pipe->CounterTicks = (pipe->CounterTicks & ~(LONGLONG)0xFFFFFFFF) | 1;
  }
  LONGLONG multiplier = (LONG)frequency.LowPart;
  ULONG bytesLow = (ULONG)pipe->TotalBytes;
  PPIPE_STATISTICS out = (PPIPE_STATISTICS)Request->Buffer;
  out->Throughput = (ULONG)(pipe->TotalBytes * (ULONGLONG)multiplier / ticks);
  out->CyclesPerByte = bytesLow ? (ULONG)((ULONGLONG)pipe->CycleCount / bytesLow) : 0;
  Request->Irp->IoStatus.Information = sizeof(PIPE_STATISTICS);
  return STATUS_SUCCESS;
}

static NTSTATUS GetMaxPacketSize(PPIPE_CONTROL_REQUEST Request) {
  if (Request->OutputLength < PIPE_MAX_PACKET_SIZE_OUTPUT) return STATUS_INVALID_PARAMETER;
  *(PULONG)Request->Buffer = Request->Pipe->PipeInfo->MaximumPacketSize;
  Request->Irp->IoStatus.Information = PIPE_MAX_PACKET_SIZE_OUTPUT;
  return STATUS_SUCCESS;
}

// Dispatch.

// The status a pipe-level code gives without a pipe: the reset, abort and
// packet-size codes say STATUS_INVALID_PARAMETER, the others
// STATUS_INVALID_HANDLE. 0 for codes that need no pipe.
static NTSTATUS NoPipeStatus(ULONG Code) {
  switch (Code) {
    case IOCTL_PIPE_RESET_PIPE:
    case IOCTL_PIPE_ABORT_PIPE:
    case IOCTL_PIPE_GET_MAX_PACKET_SIZE: return STATUS_INVALID_PARAMETER;
    case IOCTL_PIPE_GET_PIPE_INFO:
    case IOCTL_PIPE_START_STATISTICS:
    case IOCTL_PIPE_STOP_STATISTICS:
    case IOCTL_PIPE_GET_STATISTICS: return STATUS_INVALID_HANDLE;
    default: return STATUS_SUCCESS;
  }
}

static NTSTATUS RunControlCode(PPIPE_CONTROL_REQUEST Request, ULONG Code) {
  NTSTATUS noPipe = NoPipeStatus(Code);
  if (noPipe != STATUS_SUCCESS && !Request->Pipe) return noPipe;
  switch (Code) {
    case IOCTL_PIPE_GET_CONFIG_DESCRIPTOR: return GetConfigDescriptor(Request);
    case IOCTL_PIPE_ENSURE_PORT_ENABLED: return EnsurePortEnabled(Request);
    case IOCTL_PIPE_RESET_PIPE: return ResetPipe(Request->DeviceObject, Request->Pipe);
    case IOCTL_PIPE_GET_PIPE_INFO: return GetPipeInfo(Request);
    case IOCTL_PIPE_START_STATISTICS: return StartStatistics(Request);
    case IOCTL_PIPE_STOP_STATISTICS: return StopStatistics(Request);
    case IOCTL_PIPE_GET_STATISTICS: return GetStatistics(Request);
    case IOCTL_PIPE_VENDOR_COMMAND: return VendorCommand(Request);
    case IOCTL_PIPE_ABORT_PIPE: return AbortPipe(Request->DeviceObject, Request->Pipe);
    case IOCTL_PIPE_CONTROL_TRANSFER: return ControlTransfer(Request);
    case IOCTL_PIPE_GET_MAX_PACKET_SIZE: return GetMaxPacketSize(Request);
    case IOCTL_PIPE_RESET_PORT:
      return CallLowerSync(Request->DeviceObject, IOCTL_INTERNAL_USB_RESET_PORT, NULL, Executive);
    case IOCTL_PIPE_CYCLE_PORT: return CyclePort(Request);
    default: return STATUS_INVALID_PARAMETER;
  }
}

// Runs the code's handler when the device is usable and completes the
// request with its status. The codes that only read the driver's own records
// never wait and may come at DISPATCH_LEVEL; the others need PASSIVE_LEVEL.
NTSTATUS NTAPI PipeDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IncrementIoCount(DeviceObject);
  Irp->IoStatus.Information = 0;
  NTSTATUS status = STATUS_DELETE_PENDING;
  if (CanAcceptRequests(DeviceObject)) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PIPE_CONTROL_REQUEST request;
    request.DeviceObject = DeviceObject;
    request.Irp = Irp;
    request.Buffer = Irp->AssociatedIrp.SystemBuffer;
    request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    request.Pipe = PipeFromFile(DeviceObject, stack->FileObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    status = RunControlCode(&request, stack->Parameters.DeviceIoControl.IoControlCode);
  }
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  DecrementIoCount(DeviceObject);
  return status;
}

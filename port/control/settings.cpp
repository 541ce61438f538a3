// tolvane: the settings requests: baud rate, line control, timeouts, special
// characters and handshaking. The port keeps every setting in its extension;
// when a target is bound, the ones the device must know go to it as control
// messages and the request ends with the send's status. A value is stored
// before it is sent and stays stored if the send fails.
#include "port/routines.h"

namespace {

struct SETTINGS_REQUEST {
  PPORT_EXTENSION Extension;
  PDEVICE_OBJECT DeviceObject;
  PIRP Irp;
  ULONG InputLength;
  ULONG OutputLength;
  PVOID Buffer;
};

NTSTATUS Refuse(const SETTINGS_REQUEST& Request) { return CompleteRequest(Request.Irp, STATUS_INVALID_PARAMETER, 0); }

// Copies a setting into the output, or refuses a buffer shorter than it.
NTSTATUS ReturnSetting(const SETTINGS_REQUEST& Request, const void* Value, ULONG Size) {
  if (Request.OutputLength < Size) return Refuse(Request);
  RtlCopyMemory(Request.Buffer, Value, Size);
  return CompleteRequest(Request.Irp, STATUS_SUCCESS, Size);
}

// After a line setting was stored: tell a bound device, or just succeed.
NTSTATUS UpdateLineSettings(const SETTINGS_REQUEST& Request) {
  NTSTATUS status = TargetBound(Request.Extension) ? SendLineSettings(Request.DeviceObject) : STATUS_SUCCESS;
  return CompleteRequest(Request.Irp, status, 0);
}

NTSTATUS SetBaudRate(const SETTINGS_REQUEST& Request) {
  if (Request.InputLength < sizeof(SERIAL_BAUD_RATE)) return Refuse(Request);
  Request.Extension->BaudRate = ((PSERIAL_BAUD_RATE)Request.Buffer)->BaudRate;
  return UpdateLineSettings(Request);
}

NTSTATUS SetLineControl(const SETTINGS_REQUEST& Request) {
  if (Request.InputLength < sizeof(SERIAL_LINE_CONTROL)) return Refuse(Request);
  Request.Extension->LineControl = *(PSERIAL_LINE_CONTROL)Request.Buffer;
  return UpdateLineSettings(Request);
}

NTSTATUS SetHandFlow(const SETTINGS_REQUEST& Request) {
  if (Request.InputLength < sizeof(SERIAL_HANDFLOW)) return Refuse(Request);
  PSERIAL_HANDFLOW handFlow = (PSERIAL_HANDFLOW)Request.Buffer;
  if ((handFlow->ControlHandShake & SERIAL_CONTROL_INVALID) || (handFlow->FlowReplace & SERIAL_FLOW_INVALID))
    return Refuse(Request);
  Request.Extension->HandFlow = *handFlow;
  return UpdateLineSettings(Request);
}

// Reads could never end if all three read timeouts were MAXULONG.
NTSTATUS SetTimeouts(const SETTINGS_REQUEST& Request) {
  if (Request.InputLength < sizeof(SERIAL_TIMEOUTS)) return Refuse(Request);
  PSERIAL_TIMEOUTS timeouts = (PSERIAL_TIMEOUTS)Request.Buffer;
  if (timeouts->ReadIntervalTimeout == MAXULONG && timeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
      timeouts->ReadTotalTimeoutConstant == MAXULONG)
    return Refuse(Request);
  Request.Extension->Timeouts = *timeouts;
  return CompleteRequest(Request.Irp, STATUS_SUCCESS, 0);
}

// All six characters are stored unchecked; a bound device is told the flow
// and error characters.
NTSTATUS SetChars(const SETTINGS_REQUEST& Request) {
  if (Request.InputLength < sizeof(SERIAL_CHARS)) return Refuse(Request);
  Request.Extension->Chars = *(PSERIAL_CHARS)Request.Buffer;
  NTSTATUS status = TargetBound(Request.Extension) ? SendCharacters(Request.DeviceObject) : STATUS_SUCCESS;
  return CompleteRequest(Request.Irp, status, 0);
}

}  // namespace

// PASSIVE_LEVEL: the sends wait for the device.
NTSTATUS SerialSettingsRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  SETTINGS_REQUEST request = {PortExtension(DeviceObject), DeviceObject, Irp,
                              stack->Parameters.DeviceIoControl.InputBufferLength,
                              stack->Parameters.DeviceIoControl.OutputBufferLength, Irp->AssociatedIrp.SystemBuffer};
  PPORT_EXTENSION extension = request.Extension;
  if (RemovalBegun(extension)) return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  switch (Code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
      return SetBaudRate(request);
    case IOCTL_SERIAL_GET_BAUD_RATE:
      return ReturnSetting(request, &extension->BaudRate, sizeof(ULONG));
    case IOCTL_SERIAL_SET_LINE_CONTROL:
      return SetLineControl(request);
    case IOCTL_SERIAL_GET_LINE_CONTROL:
      return ReturnSetting(request, &extension->LineControl, sizeof(SERIAL_LINE_CONTROL));
    case IOCTL_SERIAL_SET_TIMEOUTS:
      return SetTimeouts(request);
    case IOCTL_SERIAL_GET_TIMEOUTS:
      return ReturnSetting(request, &extension->Timeouts, sizeof(SERIAL_TIMEOUTS));
    case IOCTL_SERIAL_SET_CHARS:
      return SetChars(request);
    case IOCTL_SERIAL_GET_CHARS:
      return ReturnSetting(request, &extension->Chars, sizeof(SERIAL_CHARS));
    case IOCTL_SERIAL_SET_HANDFLOW:
      return SetHandFlow(request);
    default:  // IOCTL_SERIAL_GET_HANDFLOW
      return ReturnSetting(request, &extension->HandFlow, sizeof(SERIAL_HANDFLOW));
  }
}

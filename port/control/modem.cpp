// tolvane: the modem-line requests: DTR, RTS and break, the modem control
// and status registers. The output lines live in ModemControl; the bit is
// changed first, then MSG_MODEM_CONTROL carries the whole byte to the device,
// and a failed send leaves the bit changed.
#include "port/routines.h"

namespace {

// Sets or clears `Bit` of ModemControl and, for a bound device that takes
// modem-line messages, sends it.
NTSTATUS ChangeOutputLine(PDEVICE_OBJECT DeviceObject, PIRP Irp, UCHAR Bit, BOOLEAN On) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  extension->ModemControl = On ? (UCHAR)(extension->ModemControl | Bit) : (UCHAR)(extension->ModemControl & ~Bit);
  NTSTATUS status = STATUS_SUCCESS;
  if (TargetBound(extension) && extension->EndPointCaps != 0) status = SendModemControl(DeviceObject);
  return CompleteRequest(Irp, status, 0);
}

// DTR and RTS cannot be driven by hand while they are handshake lines.
NTSTATUS SetDtr(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN On) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if ((extension->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE)
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  return ChangeOutputLine(DeviceObject, Irp, MODEM_CONTROL_DTR, On);
}

NTSTATUS SetRts(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN On) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if ((extension->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE)
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  return ChangeOutputLine(DeviceObject, Irp, MODEM_CONTROL_RTS, On);
}

// Only devices of variant 2 know a break; the others accept the request unchanged.
NTSTATUS SetBreak(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN On) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if (extension->EndPointCaps != 2) return CompleteRequest(Irp, STATUS_SUCCESS, 0);
  extension->ModemControl =
      On ? (UCHAR)(extension->ModemControl | MODEM_CONTROL_BREAK) : (UCHAR)(extension->ModemControl & ~MODEM_CONTROL_BREAK);
  return CompleteRequest(Irp, SendModemControl(DeviceObject), 0);
}

NTSTATUS ReturnUlong(PIRP Irp, ULONG Value, CCHAR Boost = IO_NO_INCREMENT) {
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  *(PULONG)Irp->AssociatedIrp.SystemBuffer = Value;
  return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(ULONG), Boost);
}

ULONG DtrRtsState(PPORT_EXTENSION Extension) {
  return ((Extension->ModemControl & MODEM_CONTROL_DTR) ? SERIAL_DTR_STATE : 0) |
         ((Extension->ModemControl & MODEM_CONTROL_RTS) ? SERIAL_RTS_STATE : 0);
}

ULONG ModemControlRegister(PPORT_EXTENSION Extension) {
  return ((Extension->ModemControl & MODEM_CONTROL_RTS) ? SERIAL_MCR_RTS : 0) |
         ((Extension->ModemControl & MODEM_CONTROL_DTR) ? SERIAL_MCR_DTR : 0);
}

// Takes RTS and DTR from the register value (other bits ignored, no handshake
// check) and always sends: without a target the send fails.
NTSTATUS SetModemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG))
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  ULONG value = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
  UCHAR control = (UCHAR)(extension->ModemControl & ~(MODEM_CONTROL_RTS | MODEM_CONTROL_DTR));
  if (value & SERIAL_MCR_RTS) control |= MODEM_CONTROL_RTS;
  if (value & SERIAL_MCR_DTR) control |= MODEM_CONTROL_DTR;
  extension->ModemControl = control;
  return CompleteRequest(Irp, SendModemControl(DeviceObject), 0, IO_SERIAL_INCREMENT);
}

}  // namespace

// PASSIVE_LEVEL: the sends wait for the device.
NTSTATUS SerialModemRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if (Code == IOCTL_SERIAL_GET_MODEMSTATUS) return ReturnUlong(Irp, extension->StatusPipe.ModemStatus);
  if (RemovalBegun(extension)) return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  switch (Code) {
    case IOCTL_SERIAL_SET_BREAK_ON:
      return SetBreak(DeviceObject, Irp, TRUE);
    case IOCTL_SERIAL_SET_BREAK_OFF:
      return SetBreak(DeviceObject, Irp, FALSE);
    case IOCTL_SERIAL_SET_DTR:
      return SetDtr(DeviceObject, Irp, TRUE);
    case IOCTL_SERIAL_CLR_DTR:
      return SetDtr(DeviceObject, Irp, FALSE);
    case IOCTL_SERIAL_SET_RTS:
      return SetRts(DeviceObject, Irp, TRUE);
    case IOCTL_SERIAL_CLR_RTS:
      return SetRts(DeviceObject, Irp, FALSE);
    case IOCTL_SERIAL_GET_DTRRTS:
      return ReturnUlong(Irp, DtrRtsState(extension));
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
      return ReturnUlong(Irp, ModemControlRegister(extension), IO_SERIAL_INCREMENT);
    default:  // IOCTL_SERIAL_SET_MODEM_CONTROL
      return SetModemControl(DeviceObject, Irp);
  }
}

// tolvane: the device's control messages. Each is two or three bytes, built
// from the port's settings and sent synchronously as the input of the pipe
// driver's IOCTL_PIPE_VENDOR_COMMAND. Which messages a device understands is
// fixed by EndPointCaps. Every sender runs at PASSIVE_LEVEL.
#include "port/routines.h"

namespace {

// Line-rate codes of the three-byte line-settings message.
const ULONG LongFormRates[9][2] = {{600, 0},   {1200, 1},  {2400, 2},  {4800, 3},  {9600, 4},
                                   {19200, 5}, {38400, 6}, {76800, 7}, {115200, 8}};

BOOLEAN PortCanStillSend(PPORT_EXTENSION Extension) {
  return TargetBound(Extension) && ReadShared(Extension->PortOpen) && !RemovalBegun(Extension);
}

// The port-state message "open", sent until it goes through, at most
// `Attempts` times, a second apart. The attempts end early once the target
// goes or the port is closed or removed: a teardown waiting for the port's
// requests then waits a tenth of a second at most.
void SendPortOpenState(PPORT_EXTENSION Extension, ULONG Attempts) {
  UCHAR portOpen[2] = {MSG_PORT_STATE, 0x01};
  LARGE_INTEGER tenth;
  tenth.QuadPart = -1000000;
  for (ULONG attempt = 1;; ++attempt) {
    if (NT_SUCCESS(SendDeviceControl(Extension->DeviceObject, portOpen, sizeof portOpen)) || attempt >= Attempts) return;
    for (int wait = 0; wait < 10; ++wait) {
      if (!PortCanStillSend(Extension)) return;
      KeDelayExecutionThread(KernelMode, FALSE, &tenth);
    }
  }
}

}  // namespace

// Sends one message and waits for the pipe driver. Refused without sending
// when the port is removed or no target is bound. The busy count, taken
// before the target is looked at, keeps a target teardown waiting until the
// send is over.
NTSTATUS SendDeviceControl(PDEVICE_OBJECT DeviceObject, PUCHAR Message, ULONG Length) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  NTSTATUS status = STATUS_DELETE_PENDING;
  IncrementBusy(extension);
  if (!RemovalBegun(extension) && TargetBound(extension))
    status = SendTargetIoctl(extension, IOCTL_PIPE_VENDOR_COMMAND, NULL, Message, Length, NULL, 0);
  DecrementBusy(extension);
  return status;
}

// The two-byte form: baud code, data bits, stop bits, parity, hardware flow
// (RTS and CTS handshaking both), software flow (both XON/XOFF directions).
NTSTATUS BuildLineSettings(PUCHAR Message, PPORT_EXTENSION Extension) {
  Message[0] = MSG_LINE_SETTINGS;
  Message[1] = 0;
  switch (Extension->BaudRate) {
    case 9600: break;
    case 19200: Message[1] |= 0x01; break;
    case 38400: Message[1] |= 0x02; break;
    case 115200: Message[1] |= 0x03; break;
    default: return STATUS_INVALID_PARAMETER;
  }
  const SERIAL_LINE_CONTROL& line = Extension->LineControl;
  if (line.WordLength == 8) Message[1] |= 0x04;
  else if (line.WordLength != 7) return STATUS_INVALID_PARAMETER;
  if (line.StopBits == STOP_BITS_2) Message[1] |= 0x08;
  else if (line.StopBits != STOP_BIT_1) return STATUS_INVALID_PARAMETER;
  if (line.Parity == EVEN_PARITY) Message[1] |= 0x10;
  else if (line.Parity == ODD_PARITY) Message[1] |= 0x20;
  const SERIAL_HANDFLOW& flow = Extension->HandFlow;
  if ((flow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE && (flow.ControlHandShake & SERIAL_CTS_HANDSHAKE))
    Message[1] |= 0x40;
  if ((flow.FlowReplace & SERIAL_AUTO_TRANSMIT) && (flow.FlowReplace & SERIAL_AUTO_RECEIVE)) Message[1] |= 0x80;
  return STATUS_SUCCESS;
}

// The three-byte form: a rate code from the table, then data bits, stop bits,
// parity and one flow bit (hardware first, either direction suffices).
NTSTATUS BuildLineSettingsEx(PUCHAR Message, PULONG Length, PPORT_EXTENSION Extension) {
  if (!Message || !Length || !Extension || *Length < 3) return STATUS_INVALID_PARAMETER;
  *Length = 3;
  Message[0] = MSG_LINE_SETTINGS;
  Message[2] = 0;
  BOOLEAN found = FALSE;
  for (ULONG i = 0; i < RTL_NUMBER_OF(LongFormRates); ++i) {
    if (LongFormRates[i][0] == Extension->BaudRate) {
      Message[1] = (UCHAR)LongFormRates[i][1];
      found = TRUE;
    }
  }
  if (!found) return STATUS_INVALID_PARAMETER;
  const SERIAL_LINE_CONTROL& line = Extension->LineControl;
  if (line.WordLength == 8) Message[2] |= 0x01;
  else if (line.WordLength != 7) return STATUS_INVALID_PARAMETER;
  if (line.StopBits == STOP_BITS_2) Message[2] |= 0x02;
  else if (line.StopBits != STOP_BIT_1) return STATUS_INVALID_PARAMETER;
  if (line.Parity == EVEN_PARITY) Message[2] |= 0x04;
  else if (line.Parity == ODD_PARITY) Message[2] |= 0x08;
  const SERIAL_HANDFLOW& flow = Extension->HandFlow;
  if ((flow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE || (flow.ControlHandShake & SERIAL_CTS_HANDSHAKE))
    Message[2] |= 0x10;
  else if (flow.FlowReplace & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE))
    Message[2] |= 0x20;
  return STATUS_SUCCESS;
}

NTSTATUS BuildModemControl(PUCHAR Message, PPORT_EXTENSION Extension) {
  Message[0] = MSG_MODEM_CONTROL;
  Message[1] = Extension->ModemControl;
  return STATUS_SUCCESS;
}

NTSTATUS SendModemControl(PDEVICE_OBJECT DeviceObject) {
  UCHAR message[2];
  BuildModemControl(message, PortExtension(DeviceObject));
  return SendDeviceControl(DeviceObject, message, sizeof message);
}

// Sends the line settings in the form the device variant takes. Variant 0
// takes none and accepts any setting; a setting the form cannot carry is
// refused without sending.
NTSTATUS SendLineSettings(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  UCHAR message[8];
  NTSTATUS status;
  switch (extension->EndPointCaps) {
    case 1:
    case 2:
      status = BuildLineSettings(message, extension);
      if (!NT_SUCCESS(status)) return status;
      status = SendDeviceControl(DeviceObject, message, 2);
      // Variant 2 has no RTS handshake of its own: hardware flow control switches RTS on.
      if (extension->EndPointCaps == 2 && (message[1] & 0x40)) {
        extension->ModemControl |= MODEM_CONTROL_RTS;
        status = SendModemControl(DeviceObject);
      }
      return status;
    case 3: {
      ULONG length = sizeof message;
      status = BuildLineSettingsEx(message, &length, extension);
      if (!NT_SUCCESS(status)) return status;
      status = SendDeviceControl(DeviceObject, message, length);
      StartReceive(extension);
      return status;
    }
    default:
      return STATUS_SUCCESS;
  }
}

// The flow characters, then the error character; the request reports the second.
NTSTATUS SendCharacters(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  UCHAR flowChars[3] = {MSG_FLOW_CHARS, extension->Chars.XonChar, extension->Chars.XoffChar};
  SendDeviceControl(DeviceObject, flowChars, sizeof flowChars);
  UCHAR errorChar[3] = {MSG_ERROR_CHAR, (UCHAR)((extension->HandFlow.FlowReplace & SERIAL_ERROR_CHAR) ? 1 : 0),
                        extension->Chars.ErrorChar};
  return SendDeviceControl(DeviceObject, errorChar, sizeof errorChar);
}

// At open, variant 3: the device is told the port is open and DTR and RTS go
// up. Without a target only ModemControl changes. If the lines cannot be
// raised, the device is told the port is closed again: the open fails, and
// neither the port nor the device may stay in the open state.
NTSTATUS PortOpenHandshake(PPORT_EXTENSION Extension) {
  if (!TargetBound(Extension)) {
    Extension->ModemControl = MODEM_CONTROL_DTR | MODEM_CONTROL_RTS;
    return STATUS_SUCCESS;
  }
  UCHAR portOpen[2] = {MSG_PORT_STATE, 0x01};
  NTSTATUS status = SendDeviceControl(Extension->DeviceObject, portOpen, sizeof portOpen);
  if (!NT_SUCCESS(status)) return status;
  WriteShared(Extension->DeviceReady, TRUE);
  Extension->ModemControl = MODEM_CONTROL_DTR | MODEM_CONTROL_RTS;
  status = SendModemControl(Extension->DeviceObject);
  if (!NT_SUCCESS(status)) PortCloseMessage(Extension);
  return status;
}

// At close, variant 3 with a target: the device is told the port is closed.
void PortCloseMessage(PPORT_EXTENSION Extension) {
  WriteShared(Extension->DeviceReady, FALSE);
  UCHAR portClosed[2] = {MSG_PORT_STATE, 0x00};
  SendDeviceControl(Extension->DeviceObject, portClosed, sizeof portClosed);
}

// Brings the device of an open port into the state the port holds: at a
// binding (one attempt of the port-state message) and after the system woke
// (up to ten). The line settings and the output lines follow whatever the
// port-state message did; the flow and error characters are not replayed.
// Every status is ignored. PASSIVE_LEVEL.
void ReplayDeviceSettings(PPORT_EXTENSION Extension, ULONG Attempts) {
  PDEVICE_OBJECT device = Extension->DeviceObject;
  UCHAR message[8];
  ULONG length = sizeof message;
  WriteShared(Extension->DeviceReady, TRUE);
  switch (Extension->EndPointCaps) {
    case 1:
    case 2:
      if (NT_SUCCESS(BuildLineSettings(message, Extension))) {
        if (Extension->EndPointCaps == 2 && (message[1] & 0x40)) Extension->ModemControl |= MODEM_CONTROL_RTS;
        SendDeviceControl(device, message, 2);
      }
      SendModemControl(device);
      break;
    case 3:
      SendPortOpenState(Extension, Attempts);
      if (NT_SUCCESS(BuildLineSettingsEx(message, &length, Extension))) SendDeviceControl(device, message, length);
      SendModemControl(device);
      break;
    default:
      break;
  }
}

// The communications API as kernel32 builds it on the serial port's control
// codes: a DCB becomes baud rate, line control, special characters and
// handshaking; the rest map one call to one request.
#include "sim/win32/comm.h"

#include "sim/win32/errors.h"

namespace win32 {

namespace {

using detail::FailWith;

// One synchronous control request without an OVERLAPPED.
BOOL Control(HANDLE file, ULONG code, const void* in, DWORD inSize, void* out = nullptr, DWORD outSize = 0) {
  DWORD returned = 0;
  return DeviceIoControl(file, code, const_cast<void*>(in), inSize, out, outSize, &returned, nullptr);
}

BOOL Control(HANDLE file, ULONG code) { return Control(file, code, nullptr, 0); }

SERIAL_HANDFLOW HandFlowOf(const DCB& dcb) {
  SERIAL_HANDFLOW flow{};
  if (dcb.fDtrControl == DTR_CONTROL_ENABLE) flow.ControlHandShake |= SERIAL_DTR_CONTROL;
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) flow.ControlHandShake |= SERIAL_DTR_HANDSHAKE;
  if (dcb.fOutxCtsFlow) flow.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
  if (dcb.fOutxDsrFlow) flow.ControlHandShake |= SERIAL_DSR_HANDSHAKE;
  if (dcb.fDsrSensitivity) flow.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
  if (dcb.fAbortOnError) flow.ControlHandShake |= SERIAL_ERROR_ABORT;
  if (dcb.fRtsControl == RTS_CONTROL_ENABLE) flow.FlowReplace |= SERIAL_RTS_CONTROL;
  if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) flow.FlowReplace |= SERIAL_RTS_HANDSHAKE;
  if (dcb.fRtsControl == RTS_CONTROL_TOGGLE) flow.FlowReplace |= SERIAL_TRANSMIT_TOGGLE;
  if (dcb.fOutX) flow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
  if (dcb.fInX) flow.FlowReplace |= SERIAL_AUTO_RECEIVE;
  if (dcb.fErrorChar) flow.FlowReplace |= SERIAL_ERROR_CHAR;
  if (dcb.fNull) flow.FlowReplace |= SERIAL_NULL_STRIPPING;
  if (dcb.fTXContinueOnXoff) flow.FlowReplace |= SERIAL_XOFF_CONTINUE;
  flow.XonLimit = dcb.XonLim;
  flow.XoffLimit = dcb.XoffLim;
  return flow;
}

void ApplyHandFlow(const SERIAL_HANDFLOW& flow, DCB* dcb) {
  ULONG dtr = flow.ControlHandShake & SERIAL_DTR_MASK;
  dcb->fDtrControl = dtr == SERIAL_DTR_HANDSHAKE ? DTR_CONTROL_HANDSHAKE
                     : dtr == SERIAL_DTR_CONTROL ? DTR_CONTROL_ENABLE
                                                 : DTR_CONTROL_DISABLE;
  dcb->fOutxCtsFlow = (flow.ControlHandShake & SERIAL_CTS_HANDSHAKE) != 0;
  dcb->fOutxDsrFlow = (flow.ControlHandShake & SERIAL_DSR_HANDSHAKE) != 0;
  dcb->fDsrSensitivity = (flow.ControlHandShake & SERIAL_DSR_SENSITIVITY) != 0;
  dcb->fAbortOnError = (flow.ControlHandShake & SERIAL_ERROR_ABORT) != 0;
  ULONG rts = flow.FlowReplace & SERIAL_RTS_MASK;
  dcb->fRtsControl = rts == SERIAL_TRANSMIT_TOGGLE ? RTS_CONTROL_TOGGLE
                     : rts == SERIAL_RTS_HANDSHAKE ? RTS_CONTROL_HANDSHAKE
                     : rts == SERIAL_RTS_CONTROL   ? RTS_CONTROL_ENABLE
                                                   : RTS_CONTROL_DISABLE;
  dcb->fOutX = (flow.FlowReplace & SERIAL_AUTO_TRANSMIT) != 0;
  dcb->fInX = (flow.FlowReplace & SERIAL_AUTO_RECEIVE) != 0;
  dcb->fErrorChar = (flow.FlowReplace & SERIAL_ERROR_CHAR) != 0;
  dcb->fNull = (flow.FlowReplace & SERIAL_NULL_STRIPPING) != 0;
  dcb->fTXContinueOnXoff = (flow.FlowReplace & SERIAL_XOFF_CONTINUE) != 0;
  dcb->XonLim = (WORD)flow.XonLimit;
  dcb->XoffLim = (WORD)flow.XoffLimit;
}

}  // namespace

BOOL SetCommState(HANDLE file, const DCB* dcb) {
  if (!dcb) return FailWith(STATUS_INVALID_PARAMETER);
  SERIAL_BAUD_RATE baud{dcb->BaudRate};
  if (!Control(file, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud)) return FALSE;
  if (dcb->fRtsControl == RTS_CONTROL_ENABLE && !Control(file, IOCTL_SERIAL_SET_RTS)) return FALSE;
  if (dcb->fRtsControl == RTS_CONTROL_DISABLE && !Control(file, IOCTL_SERIAL_CLR_RTS)) return FALSE;
  if (dcb->fDtrControl == DTR_CONTROL_ENABLE && !Control(file, IOCTL_SERIAL_SET_DTR)) return FALSE;
  if (dcb->fDtrControl == DTR_CONTROL_DISABLE && !Control(file, IOCTL_SERIAL_CLR_DTR)) return FALSE;
  SERIAL_LINE_CONTROL line{dcb->StopBits, dcb->Parity, dcb->ByteSize};
  if (!Control(file, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line)) return FALSE;
  SERIAL_CHARS chars{(UCHAR)dcb->EofChar, (UCHAR)dcb->ErrorChar, 0, (UCHAR)dcb->EvtChar, (UCHAR)dcb->XonChar,
                     (UCHAR)dcb->XoffChar};
  if (!Control(file, IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars)) return FALSE;
  SERIAL_HANDFLOW flow = HandFlowOf(*dcb);
  return Control(file, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow);
}

BOOL GetCommState(HANDLE file, LPDCB dcb) {
  if (!dcb) return FailWith(STATUS_INVALID_PARAMETER);
  SERIAL_BAUD_RATE baud{};
  SERIAL_LINE_CONTROL line{};
  SERIAL_CHARS chars{};
  SERIAL_HANDFLOW flow{};
  if (!Control(file, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud) ||
      !Control(file, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &line, sizeof line) ||
      !Control(file, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &chars, sizeof chars) ||
      !Control(file, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &flow, sizeof flow))
    return FALSE;
  *dcb = DCB{};
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = baud.BaudRate;
  dcb->fBinary = TRUE;
  dcb->fParity = line.Parity != NO_PARITY;
  dcb->ByteSize = line.WordLength;
  dcb->Parity = line.Parity;
  dcb->StopBits = line.StopBits;
  dcb->EofChar = (char)chars.EofChar;
  dcb->ErrorChar = (char)chars.ErrorChar;
  dcb->EvtChar = (char)chars.EventChar;
  dcb->XonChar = (char)chars.XonChar;
  dcb->XoffChar = (char)chars.XoffChar;
  ApplyHandFlow(flow, dcb);
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) {
  if (!timeouts) return FailWith(STATUS_INVALID_PARAMETER);
  SERIAL_TIMEOUTS serial{timeouts->ReadIntervalTimeout, timeouts->ReadTotalTimeoutMultiplier,
                         timeouts->ReadTotalTimeoutConstant, timeouts->WriteTotalTimeoutMultiplier,
                         timeouts->WriteTotalTimeoutConstant};
  return Control(file, IOCTL_SERIAL_SET_TIMEOUTS, &serial, sizeof serial);
}

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  if (!timeouts) return FailWith(STATUS_INVALID_PARAMETER);
  SERIAL_TIMEOUTS serial{};
  if (!Control(file, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &serial, sizeof serial)) return FALSE;
  *timeouts = {serial.ReadIntervalTimeout, serial.ReadTotalTimeoutMultiplier, serial.ReadTotalTimeoutConstant,
               serial.WriteTotalTimeoutMultiplier, serial.WriteTotalTimeoutConstant};
  return TRUE;
}

BOOL SetCommMask(HANDLE file, DWORD eventMask) {
  ULONG mask = eventMask;
  return Control(file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask);
}

BOOL GetCommMask(HANDLE file, LPDWORD eventMask) {
  if (!eventMask) return FailWith(STATUS_INVALID_PARAMETER);
  return Control(file, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, eventMask, sizeof *eventMask);
}

BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, LPOVERLAPPED overlapped) {
  if (!eventMask) return FailWith(STATUS_INVALID_PARAMETER);
  DWORD returned = 0;
  return DeviceIoControl(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, eventMask, sizeof *eventMask, &returned,
                         overlapped);
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
  ULONG mask = flags;
  return Control(file, IOCTL_SERIAL_PURGE, &mask, sizeof mask);
}

// One character sent ahead of any data waiting to go out.
BOOL TransmitCommChar(HANDLE file, char character) {
  return Control(file, IOCTL_SERIAL_IMMEDIATE_CHAR, &character, 1);
}

// The driver's error bits become the CE_* codes; its status the COMSTAT.
BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
  SERIAL_STATUS serial{};
  if (!Control(file, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &serial, sizeof serial)) return FALSE;
  if (errors) {
    *errors = 0;
    if (serial.Errors & SERIAL_ERROR_QUEUEOVERRUN) *errors |= CE_RXOVER;
    if (serial.Errors & SERIAL_ERROR_OVERRUN) *errors |= CE_OVERRUN;
    if (serial.Errors & SERIAL_ERROR_PARITY) *errors |= CE_RXPARITY;
    if (serial.Errors & SERIAL_ERROR_FRAMING) *errors |= CE_FRAME;
    if (serial.Errors & SERIAL_ERROR_BREAK) *errors |= CE_BREAK;
  }
  if (status) {
    *status = COMSTAT{};
    status->fCtsHold = (serial.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
    status->fDsrHold = (serial.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
    status->fRlsdHold = (serial.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
    status->fXoffHold = (serial.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
    status->fXoffSent = (serial.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    status->fEof = serial.EofReceived != 0;
    status->fTxim = serial.WaitForImmediate != 0;
    status->cbInQue = serial.AmountInInQueue;
    status->cbOutQue = serial.AmountInOutQueue;
  }
  return TRUE;
}

BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus) {
  if (!modemStatus) return FailWith(STATUS_INVALID_PARAMETER);
  return Control(file, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, modemStatus, sizeof *modemStatus);
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
  switch (function) {
    case SETXOFF: return Control(file, IOCTL_SERIAL_SET_XOFF);
    case SETXON: return Control(file, IOCTL_SERIAL_SET_XON);
    case SETRTS: return Control(file, IOCTL_SERIAL_SET_RTS);
    case CLRRTS: return Control(file, IOCTL_SERIAL_CLR_RTS);
    case SETDTR: return Control(file, IOCTL_SERIAL_SET_DTR);
    case CLRDTR: return Control(file, IOCTL_SERIAL_CLR_DTR);
    case RESETDEV: return Control(file, IOCTL_SERIAL_RESET_DEVICE);
    case SETBREAK: return Control(file, IOCTL_SERIAL_SET_BREAK_ON);
    case CLRBREAK: return Control(file, IOCTL_SERIAL_SET_BREAK_OFF);
    default: return FailWith(STATUS_INVALID_PARAMETER);
  }
}

BOOL SetCommBreak(HANDLE file) { return Control(file, IOCTL_SERIAL_SET_BREAK_ON); }

BOOL ClearCommBreak(HANDLE file) { return Control(file, IOCTL_SERIAL_SET_BREAK_OFF); }

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  SERIAL_QUEUE_SIZE sizes{inQueue, outQueue};
  return Control(file, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof sizes);
}

BOOL GetCommProperties(HANDLE file, LPCOMMPROP properties) {
  if (!properties) return FailWith(STATUS_INVALID_PARAMETER);
  return Control(file, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, properties, sizeof *properties);
}

}  // namespace win32

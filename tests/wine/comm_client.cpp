// A Windows program of ours on the unbound port, through kernel32's comm API
// only: what an application sees of settings, timeouts, reads, writes, modem
// lines, errors, purges, properties and waits on events. One line per check
// (PASS or FAIL, what was seen), then "N passed, M failed"; exit 1 on a failure.
// Every wait is bounded. Usage: comm_client [port name, default COM5]
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

int passed = 0, failed = 0;

void Report(bool ok, const char* check, const char* format, ...) {
  char seen[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(seen, sizeof seen, format, args);
  va_end(args);
  std::printf("%s  %-44s %s\n", ok ? "PASS" : "FAIL", check, seen);
  std::fflush(stdout);
  (ok ? passed : failed)++;
}

// Ends an overlapped request: waits at most `ms` for it, then takes its result.
BOOL Finish(HANDLE port, OVERLAPPED* overlapped, BOOL started, DWORD* bytes, DWORD ms = 5000) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return FALSE;
  if (WaitForSingleObject(overlapped->hEvent, ms) != WAIT_OBJECT_0) {
    SetLastError(WAIT_TIMEOUT);
    return FALSE;
  }
  return GetOverlappedResult(port, overlapped, bytes, FALSE);
}

// The port comes up asynchronously after its installation: retried for 20 s.
HANDLE OpenPort(const char* name) {
  char path[64];
  std::snprintf(path, sizeof path, "\\\\.\\%s", name);
  for (int attempt = 0; attempt < 80; ++attempt) {
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                              nullptr);
    if (port != INVALID_HANDLE_VALUE) return port;
    Sleep(250);
  }
  return INVALID_HANDLE_VALUE;
}

void CheckSettings(HANDLE port) {
  DCB dcb{sizeof dcb};
  BOOL ok = GetCommState(port, &dcb);
  Report(ok && dcb.BaudRate == 115200 && dcb.ByteSize == 8 && dcb.Parity == NOPARITY && dcb.StopBits == ONESTOPBIT &&
             dcb.XonLim == 2048 && dcb.XoffLim == 512,
         "GetCommState: the defaults", "ok %d, %lu %u%c%s, XonLim %u, XoffLim %u", ok, dcb.BaudRate, dcb.ByteSize,
         "NOEMS"[dcb.Parity % 5], dcb.StopBits == ONESTOPBIT ? "1" : dcb.StopBits == TWOSTOPBITS ? "2" : "1.5",
         dcb.XonLim, dcb.XoffLim);
  dcb.BaudRate = 9600;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE;
  BOOL set = SetCommState(port, &dcb);
  DCB back{sizeof back};
  BOOL got = GetCommState(port, &back);
  Report(set && got && back.BaudRate == 9600 && back.ByteSize == 7 && back.Parity == EVENPARITY &&
             back.StopBits == ONESTOPBIT,
         "SetCommState 9600 7E1, read back", "set %d, get %d: %lu %u, parity %u, stop bits %u", set, got,
         back.BaudRate, back.ByteSize, back.Parity, back.StopBits);
}

void CheckTimeoutsAndRead(HANDLE port) {
  COMMTIMEOUTS timeouts{0, 0, 250, 0, 0};
  BOOL set = SetCommTimeouts(port, &timeouts);
  COMMTIMEOUTS back{};
  BOOL got = GetCommTimeouts(port, &back);
  Report(set && got && !std::memcmp(&timeouts, &back, sizeof back), "SetCommTimeouts/GetCommTimeouts",
         "set %d, get %d: interval %lu, total %lu x + %lu", set, got, back.ReadIntervalTimeout,
         back.ReadTotalTimeoutMultiplier, back.ReadTotalTimeoutConstant);

  char buffer[16];
  DWORD bytes = 99;
  OVERLAPPED read{};
  read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ULONGLONG start = GetTickCount64();
  BOOL ok = Finish(port, &read, ReadFile(port, buffer, sizeof buffer, nullptr, &read), &bytes);
  ULONGLONG elapsed = GetTickCount64() - start;
  // The timer is the port's; Wine's thread scheduling adds some slack.
  Report(ok && bytes == 0 && elapsed >= 240 && elapsed <= 1500, "ReadFile: total timeout 250 ms",
         "ok %d, %lu bytes after %llu ms (240..1500 accepted)", ok, bytes, elapsed);

  bytes = 99;
  ResetEvent(read.hEvent);
  ok = Finish(port, &read, WriteFile(port, "hello", 5, nullptr, &read), &bytes);
  Report(ok && bytes == 0, "WriteFile: unbound port", "ok %d, %lu bytes written", ok, bytes);
  CloseHandle(read.hEvent);
}

void CheckLinesAndStatus(HANDLE port) {
  DWORD modem = 0xFF;
  BOOL ok = GetCommModemStatus(port, &modem);
  Report(ok && modem == 0, "GetCommModemStatus: no lines up", "ok %d, status 0x%lx", ok, modem);

  DWORD errors = 0xFF;
  COMSTAT status{};
  status.cbInQue = status.cbOutQue = 99;
  ok = ClearCommError(port, &errors, &status);
  Report(ok && errors == 0 && status.cbInQue == 0 && status.cbOutQue == 0, "ClearCommError: nothing pending",
         "ok %d, errors 0x%lx, in %lu, out %lu", ok, errors, status.cbInQue, status.cbOutQue);

  ok = PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  Report(ok, "PurgeComm: all four", "ok %d", ok);

  const DWORD functions[] = {SETDTR, CLRDTR, SETRTS, CLRRTS};
  int succeeded = 0;
  for (DWORD function : functions) succeeded += EscapeCommFunction(port, function) ? 1 : 0;
  Report(succeeded == 4, "EscapeCommFunction: DTR and RTS by hand", "%d of 4 succeeded", succeeded);

  COMMPROP properties{};
  ok = GetCommProperties(port, &properties);
  Report(ok && properties.dwMaxBaud == BAUD_115200 && properties.dwProvSubType == PST_RS232 &&
             (properties.dwSettableBaud & BAUD_9600) && (properties.wSettableData & DATABITS_7) &&
             properties.dwCurrentRxQueue > 0,
         "GetCommProperties", "ok %d, max baud 0x%lx, subtype %lu, settable baud 0x%lx, data 0x%x, rx queue %lu", ok,
         properties.dwMaxBaud, properties.dwProvSubType, properties.dwSettableBaud, properties.wSettableData,
         properties.dwCurrentRxQueue);
}

// A wait that a new mask ends must hand the program a mask of zero, not leave
// its variable as it was.
void CheckWaits(HANDLE port) {
  BOOL set = SetCommMask(port, EV_RXCHAR | EV_CTS);
  DWORD mask = 0;
  BOOL got = GetCommMask(port, &mask);
  Report(set && got && mask == (EV_RXCHAR | EV_CTS), "SetCommMask/GetCommMask", "set %d, get %d: 0x%lx", set, got,
         mask);

  OVERLAPPED wait{};
  wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD events = 0xDEADBEEF;
  BOOL done = WaitCommEvent(port, &events, &wait);
  DWORD error = GetLastError();
  bool pending = !done && error == ERROR_IO_PENDING && WaitForSingleObject(wait.hEvent, 300) == WAIT_TIMEOUT;
  Report(pending, "WaitCommEvent: pending, nothing happens", "returned %d, error %lu", done, error);
  if (!pending) return;

  set = SetCommMask(port, EV_RXCHAR);
  DWORD bytes = 0;
  BOOL ok = Finish(port, &wait, FALSE, &bytes);
  Report(set && ok && bytes == sizeof(DWORD) && events == 0, "SetCommMask ends the wait with a zero mask",
         "set %d, result %d, %lu bytes, mask variable 0x%lx", set, ok, bytes, events);

  // The port's wait has no cancel routine: its once-a-second I/O timer finds
  // the cancelled request.
  ResetEvent(wait.hEvent);
  BOOL started = WaitCommEvent(port, &events, &wait);
  ULONGLONG start = GetTickCount64();
  BOOL cancelled = CancelIo(port);
  ok = Finish(port, &wait, started, &bytes, 5000);
  error = GetLastError();
  ULONGLONG elapsed = GetTickCount64() - start;
  Report(cancelled && !ok && error == ERROR_OPERATION_ABORTED && elapsed <= 2500, "CancelIo ends a wait by the I/O timer",
         "cancel %d, result %d, error %lu after %llu ms (up to 2500 accepted)", cancelled, ok, error, elapsed);
  CloseHandle(wait.hEvent);
}

}  // namespace

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "COM5";
  HANDLE port = OpenPort(name);
  Report(port != INVALID_HANDLE_VALUE, "CreateFile", "\\\\.\\%s: error %lu", name,
         port == INVALID_HANDLE_VALUE ? GetLastError() : 0);
  if (port != INVALID_HANDLE_VALUE) {
    CheckSettings(port);
    CheckTimeoutsAndRead(port);
    CheckLinesAndStatus(port);
    CheckWaits(port);
    CloseHandle(port);
  }
  std::printf("comm_client: %d passed, %d failed\n", passed, failed);
  return failed ? 1 : 0;
}

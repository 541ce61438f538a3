#include "sim/tools/report.h"

#include <cstdarg>
#include <cstdio>

#include "sim/kernel/machine.h"
#include "sim/kernel/verifier.h"
#include "sim/win32/comm.h"

namespace simulator {

void Log(const char* format, ...) {
  double seconds = sim::CurrentMachine().Sched().Now() / double(sim::kTicksPerSecond);
  std::printf("[%8.3f s] ", seconds);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::putchar('\n');
  std::fflush(stdout);
}

namespace {
int failures = 0;
}  // namespace

void Check(bool ok, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Log("%s %s", ok ? "ok  " : "FAIL", text);
  if (!ok) ++failures;
}

int Failures() { return failures; }

void Heading(const std::string& title) { std::printf("\n== %s ==\n", title.c_str()); }

void PrintTraceEvent(const sim::TraceEvent& event) {
  std::string indent(2 * (size_t)event.depth, ' ');
  std::string request = sim::MajorFunctionName(event.major);
  if (event.major == IRP_MJ_PNP) request += std::string("/") + sim::PnpMinorName(event.minor);
  switch (event.kind) {
    case sim::TraceEvent::Kind::Dispatch:
      Log("%s-> %s to %s!%s", indent.c_str(), request.c_str(), sim::DriverName(event.driver).c_str(),
          sim::SymbolName(event.routine).c_str());
      break;
    case sim::TraceEvent::Kind::Return:
      Log("%s<- %s!%s returned %s", indent.c_str(), sim::DriverName(event.driver).c_str(),
          sim::SymbolName(event.routine).c_str(), sim::StatusName(event.status).c_str());
      break;
    case sim::TraceEvent::Kind::Complete:
      Log("%s   %s completed by %s: %s, %zu bytes", indent.c_str(), request.c_str(), sim::DriverName(event.driver).c_str(),
          sim::StatusName(event.status).c_str(), (size_t)event.information);
      break;
  }
}

bool RunUntil(const std::function<bool()>& done) {
  for (int ms = 0; ms < 5000 && !done(); ++ms) win32::Sleep(1);
  return done();
}

std::string Hex(const std::vector<Bytes>& messages) {
  std::string out;
  for (const Bytes& m : messages) {
    if (!out.empty()) out += ", ";
    for (size_t i = 0; i < m.size(); ++i) {
      char byte[4];
      std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", m[i]);
      out += byte;
    }
  }
  return out.empty() ? "nothing" : out;
}

std::vector<Bytes> MessagesSince(sim::usb::SerialAdapter& adapter, size_t from) {
  std::vector<Bytes> out;
  std::vector<sim::usb::AdapterMessage> all = adapter.Messages();
  for (size_t i = from; i < all.size(); ++i) out.push_back(all[i].bytes);
  return out;
}

Request::Request(HANDLE port, Kind kind, Bytes data) : port(port), buffer(std::move(data)) {
  using namespace win32;
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  BOOL ok = kind == Write ? WriteFile(port, buffer.data(), (DWORD)buffer.size(), &bytes, &overlapped)
                          : ReadFile(port, buffer.data(), (DWORD)buffer.size(), &bytes, &overlapped);
  pending = !ok && GetLastError() == ERROR_IO_PENDING;
  if (!pending) status = ok ? STATUS_SUCCESS : LastNtStatus();
}

Request::~Request() {
  Finish();
  win32::CloseHandle(overlapped.hEvent);
}

bool Request::Done() { return !pending || win32::WaitForSingleObject(overlapped.hEvent, 0) == win32::WAIT_OBJECT_0; }

void Request::Finish() {
  using namespace win32;
  if (!pending) return;
  if (WaitForSingleObject(overlapped.hEvent, 60000) == WAIT_TIMEOUT) PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT);
  BOOL ok = GetOverlappedResult(port, &overlapped, &bytes, TRUE);
  status = ok ? STATUS_SUCCESS : LastNtStatus();
  pending = false;
}

Bytes FarEnd::Take(size_t count) {
  Bytes got;
  RunUntil([&] {
    Bytes more = adapter.PeerTake();
    got.insert(got.end(), more.begin(), more.end());
    return got.size() >= count;
  });
  return got;
}

// 115200 8N1 with RTS/CTS handshake and DTR on.
bool UseHardwareFlow(HANDLE port) {
  using namespace win32;
  DCB dcb{};
  if (!GetCommState(port, &dcb)) return false;
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = TRUE;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  return SetCommState(port, &dcb);
}

}  // namespace simulator

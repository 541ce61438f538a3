// The simulator's show of the port's write path, as an application sees it:
// 64 KB through the loopback plug of an adapter that sends at the line rate,
// on a port of variant 2 (its hardware flow raises RTS); then on COM7, against
// a far end that holds CTS low when told to, the immediate character beside a
// write, transmit-empty after two writes, a flush, a purge, a total timeout
// and a close with writes queued.
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "port/routines.h"
#include "sim/kernel/irp.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/verifier.h"
#include "sim/tools/portcheck.h"
#include "sim/tools/portstate.h"
#include "sim/tools/report.h"
#include "sim/win32/comm.h"
#include "sim/win32/win32.h"

namespace simulator {

namespace {

using namespace win32;

sim::Tick Now() { return sim::CurrentMachine().Sched().Now(); }
// Milliseconds of the machine's clock since `start`.
LONGLONG MsSince(sim::Tick start) { return (LONGLONG)((Now() - start) / (sim::kTicksPerSecond / 1000)); }
std::string Status(NTSTATUS status) { return sim::StatusName(status); }

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = (uint8_t)(seed + i * 7 + i / 251);
  return bytes;
}

// Looked at only while the far end holds the write, so it cannot end meanwhile.
bool WriteInFlight(PPORT_EXTENSION port) {
  return RunUntil([&] { return port->CurrentWriteIrp && RecordedPipeWrite(port->CurrentWriteIrp); });
}

DWORD OutQueue(HANDLE port) {
  COMSTAT status{};
  return ClearCommError(port, nullptr, &status) ? status.cbOutQue : ~0u;
}


bool SetWriteTimeouts(HANDLE port, DWORD multiplier, DWORD constant) {
  COMMTIMEOUTS timeouts{0, 0, 0, multiplier, constant};  // a read waits for its length
  return SetCommTimeouts(port, &timeouts);
}

HANDLE OpenOverlapped(const char16_t* path) {
  return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
}

// 64 KB written while a 64 KB read waits, back through the loopback plug.
void StreamThroughLoopback(HANDLE port) {
  const size_t size = 64 * 1024;
  Bytes sent = Pattern(size, 5);
  sim::Tick start = Now();
  Request read(port, Request::Read, Bytes(size));
  Request write(port, Request::Write, sent);
  write.Finish();
  read.Finish();
  double took = MsSince(start) / 1000.0;
  Check(write.Ended(STATUS_SUCCESS, size) && read.Ended(STATUS_SUCCESS, size) && read.buffer == sent,
        "64 KB written while a 64 KB read waited: %u bytes read back, byte for byte, in %.3f s, %.1f kB/s",
        (unsigned)read.bytes, took, took > 0 ? read.bytes / took / 1000 : 0.0);
}

// A port of its own, COM8 with EndPointCaps 2, bound to an adapter that sends
// at the line rate with its loopback plug in.
void LoopbackAtLineRate(sim::Machine& machine, sim::usb::HostController& usb) {
  sim::DeviceNode* node = machine.Pnp().AddRootDevice(
      {u"ROOT\\PORTS\\0008", {u"ROOT\\TOLVANE"},
       {{u"PortName", sim::RegistryValue::String(u"COM8")}, {u"EndPointCaps", sim::RegistryValue::Dword(2)},
        {u"TargetDevice", sim::RegistryValue::String(u"#SIMW1#")}}, true});
  auto adapter = std::make_shared<sim::usb::SerialAdapter>(
      sim::usb::AdapterConfig{.serial = u"SIMW1", .pacing = true, .variant = 2});
  adapter->WireLoopback();
  int usbPort = usb.Plug(adapter);
  machine.Pnp().WaitIdle();
  PPORT_EXTENSION port = node && node->Top() ? (PPORT_EXTENSION)node->Top()->DeviceExtension : nullptr;
  bool bound = port && RunUntil([&] { return portstate::BoundAndSettled(port); });
  HANDLE com = bound ? OpenOverlapped(u"\\\\.\\COM8") : INVALID_HANDLE_VALUE;
  bool flow = com != INVALID_HANDLE_VALUE && UseHardwareFlow(com) && SetWriteTimeouts(com, 0, 0) &&
              RunUntil([&] { return adapter->Rts(); });
  Check(flow, "\\\\.\\COM8 (EndPointCaps 2), adapter paced at the line rate with its loopback plug: 115200 8N1, "
        "RTS/CTS handshake raised RTS");
  if (flow) StreamThroughLoopback(com);
  if (com != INVALID_HANDLE_VALUE) CloseHandle(com);
  if (node) machine.Pnp().RemoveDevice(node);
  if (usbPort) usb.Unplug(usbPort);
  machine.Pnp().WaitIdle();
}

// The immediate character while a write waits on CTS: TransmitCommChar
// returns once the far end has raised CTS and the character went out.
void ImmediateBesideWrite(HANDLE port, FarEnd& far, PPORT_EXTENSION extension) {
  Bytes data = Pattern(2000, 1);
  far.Hold();
  Request write(port, Request::Write, data);
  WriteInFlight(extension);
  sim::Thread releaser("far end", [&] {
    Sleep(100);
    far.Release();
  });
  BOOL sent = TransmitCommChar(port, '!');
  releaser.Join();
  write.Finish();
  Bytes got = far.Take(data.size() + 1);
  size_t at = std::mismatch(data.begin(), data.end(), got.begin(), got.end()).first - data.begin();
  bool inside = got.size() == data.size() + 1 && at < data.size() && got[at] == '!';
  if (inside) got.erase(got.begin() + (long)at);
  Check(sent && write.Ended(STATUS_SUCCESS, 2000) && inside && got == data,
        "TransmitCommChar('!') beside a 2000-byte write held by CTS: the far end got it after byte %zu of the write",
        at);
}

bool WaitPending(HANDLE port, DWORD* events, OVERLAPPED* wait) {
  return !WaitCommEvent(port, events, wait) && GetLastError() == ERROR_IO_PENDING;
}

// Transmit-empty is raised when the second of two writes is through.
void TransmitEmpty(HANDLE port, FarEnd& far, PPORT_EXTENSION extension) {
  SetCommMask(port, EV_TXEMPTY);
  OVERLAPPED wait{};
  wait.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD events = 0, done = 0;
  // The port keeps the events raised while nobody waited, masked or not: a
  // transmit-empty left from the writes before ends the first wait at once,
  // and that clears the history.
  bool pending = WaitPending(port, &events, &wait);
  if (!pending) {
    Log("     WaitCommEvent(EV_TXEMPTY) ended at once with 0x%X: left from the writes before", (unsigned)events);
    pending = WaitPending(port, &events, &wait);
  }
  far.Hold();
  Request first(port, Request::Write, Pattern(600, 2));
  Request second(port, Request::Write, Pattern(300, 3));
  WriteInFlight(extension);
  DWORD queued = OutQueue(port);
  Check(pending && WaitForSingleObject(wait.hEvent, 0) == WAIT_TIMEOUT && queued == 900,
        "WaitCommEvent(EV_TXEMPTY) pending while writes of 600 and 300 bytes wait on CTS (%u bytes queued)",
        (unsigned)queued);
  far.Release();
  first.Finish();
  bool early = WaitForSingleObject(wait.hEvent, 0) == WAIT_OBJECT_0 && !second.Done();
  second.Finish();
  bool ended = GetOverlappedResult(port, &wait, &done, TRUE);
  Bytes both = first.buffer;
  both.insert(both.end(), second.buffer.begin(), second.buffer.end());
  Check(ended && !early && events == EV_TXEMPTY && first.Ended(STATUS_SUCCESS, 600) &&
            second.Ended(STATUS_SUCCESS, 300) && far.Take(900) == both,
        "CTS up: both writes through in order, then the wait ended with EV_TXEMPTY");
  SetCommMask(port, 0);
  CloseHandle(wait.hEvent);
}

// FlushFileBuffers returns when the far end has let the last write through.
void FlushWaitsForDrain(HANDLE port, FarEnd& far, PPORT_EXTENSION extension) {
  far.Hold();
  Request first(port, Request::Write, Pattern(500, 4));
  Request second(port, Request::Write, Pattern(500, 5));
  WriteInFlight(extension);
  sim::Tick start = Now();
  sim::Thread releaser("far end", [&] {
    Sleep(200);
    far.Release();
  });
  BOOL flushed = FlushFileBuffers(port);
  LONGLONG took = MsSince(start);
  bool through = first.Done() && second.Done();
  releaser.Join();
  second.Finish();
  far.Take(1000);
  Check(flushed && through && took >= 200 && second.Ended(STATUS_SUCCESS, 500),
        "FlushFileBuffers with 1000 bytes held by CTS: returned after %lld ms, when CTS rose and the last write was "
        "through", (long long)took);
}

// PurgeComm ends the queued writes unsent and the one in flight with what it sent.
void PurgeWrites(HANDLE port, FarEnd& far, PPORT_EXTENSION extension) {
  far.Hold();
  Request current(port, Request::Write, Pattern(1000, 6));
  Request queued1(port, Request::Write, Pattern(300, 7));
  Request queued2(port, Request::Write, Pattern(300, 8));
  WriteInFlight(extension);
  BOOL purged = PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR);
  queued1.Finish();
  queued2.Finish();
  current.Finish();
  Check(purged && queued1.Ended(STATUS_CANCELLED, 0) && queued2.Ended(STATUS_CANCELLED, 0),
        "PurgeComm(PURGE_TXABORT | PURGE_TXCLEAR): both queued writes ended %s with 0 bytes",
        Status(queued1.status).c_str());
  far.Release();
  Check(current.status == STATUS_CANCELLED && current.bytes < 1000 && far.Take(current.bytes) == current.Sent() &&
            OutQueue(port) == 0,
        "the write in flight ended %s with the %u of 1000 bytes it had sent; the far end got exactly those",
        Status(current.status).c_str(), (unsigned)current.bytes);
}

// A total timeout of 2 ms a byte + 1000 ms on a 1000-byte write CTS holds up.
void TotalTimeout(HANDLE port, FarEnd& far) {
  far.Hold();
  SetWriteTimeouts(port, 2, 1000);
  sim::Tick start = Now();
  Request write(port, Request::Write, Pattern(1000, 9));
  write.Finish();
  LONGLONG took = MsSince(start);
  far.Release();
  SetWriteTimeouts(port, 0, 0);
  Check(write.status == STATUS_CANCELLED && write.bytes < 1000 && std::llabs(took - 3000) <= 10 &&
            far.Take(write.bytes) == write.Sent(),
        "1000-byte write, timeout 2 ms a byte + 1000 ms, CTS low: ended after %.3f s, %s, %u bytes out", took / 1000.0,
        Status(write.status).c_str(), (unsigned)write.bytes);
}

// Closing the port with a write in flight and two queued.
void CloseWithWritesQueued(HANDLE port, FarEnd& far, PPORT_EXTENSION extension) {
  far.Hold();
  Request current(port, Request::Write, Pattern(1000, 10));
  Request queued1(port, Request::Write, Pattern(500, 11));
  Request queued2(port, Request::Write, Pattern(500, 12));
  WriteInFlight(extension);
  BOOL closed = CloseHandle(port);
  current.Finish();
  queued1.Finish();
  queued2.Finish();
  Check(closed && current.status == STATUS_CANCELLED && current.bytes < 1000 && queued1.Ended(STATUS_CANCELLED, 0) &&
            queued2.Ended(STATUS_CANCELLED, 0),
        "CloseHandle with a write in flight and two queued: all ended %s (%u, 0 and 0 bytes)",
        Status(current.status).c_str(), (unsigned)current.bytes);
  bool settled = RunUntil([&] { return extension->BusyCount == portstate::SettledBusyCount(extension); });
  Check(settled && sim::CurrentMachine().Irps().LiveCount() == 0,
        "the port's BusyCount is back to %ld: no pipe write left in merrow, no request anywhere",
        (long)extension->BusyCount);
  far.Release();
  far.Take(current.bytes);  // what the cancelled write had put in the adapter's FIFO
}

// The port opens again at once after that close, and a write goes through.
void Reopen(FarEnd& far) {
  sim::Tick start = Now();
  HANDLE again = OpenOverlapped(u"\\\\.\\COM7");
  LONGLONG took = MsSince(start);
  bool written = false;
  if (again != INVALID_HANDLE_VALUE) {
    Request write(again, Request::Write, Pattern(100, 13));
    write.Finish();
    written = write.Ended(STATUS_SUCCESS, 100) && far.Take(100) == write.buffer;
    CloseHandle(again);
  }
  Check(written && took < 50, "reopened in %lld ms: a 100-byte write went through to the far end", (long long)took);
}

// The write path of COM7, bound to `adapter` whose far end is played here.
void WritesOnCom7(sim::usb::SerialAdapter& adapter, PPORT_EXTENSION extension) {
  FarEnd far{adapter};
  far.Release();
  adapter.PeerTake();
  HANDLE port = OpenOverlapped(u"\\\\.\\COM7");
  bool ready = port != INVALID_HANDLE_VALUE && UseHardwareFlow(port) && SetWriteTimeouts(port, 0, 0);
  Check(ready, "\\\\.\\COM7 opened for overlapped I/O: 115200 8N1, RTS/CTS handshake, the far end played here");
  if (!ready) {
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    return;
  }
  ImmediateBesideWrite(port, far, extension);
  TransmitEmpty(port, far, extension);
  FlushWaitsForDrain(port, far, extension);
  PurgeWrites(port, far, extension);
  TotalTimeout(port, far);
  CloseWithWritesQueued(port, far, extension);
  Reopen(far);
}

}  // namespace

void ShowWrites(sim::Machine& machine, sim::usb::HostController& usb, sim::DeviceNode* portNode,
                sim::usb::SerialAdapter& adapter) {
  LoopbackAtLineRate(machine, usb);
  PPORT_EXTENSION port = portNode->Top() ? (PPORT_EXTENSION)portNode->Top()->DeviceExtension : nullptr;
  if (!port || !port->TargetStarted) {
    Check(false, "COM7 is bound to its adapter");
    return;
  }
  WritesOnCom7(adapter, port);
}

}  // namespace simulator

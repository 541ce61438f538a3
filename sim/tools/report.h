// The simulator's readable log: lines stamped with the kernel clock, and the
// request trace rendered as an indented call tree. Also what more than one
// show needs to drive the machine: waiting on its clock, an overlapped read
// or write, the far end of an adapter's line and its control messages in hex.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/kernel/trace.h"
#include "sim/usb/adapter.h"
#include "sim/win32/win32.h"

namespace simulator {

// Prints "[  1.250 s] text" with the machine's kernel time.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Logs "ok   text" or "FAIL text" and counts the failures.
void Check(bool ok, const char* format, ...) __attribute__((format(printf, 2, 3)));
int Failures();
// Prints a section heading.
void Heading(const std::string& title);
// Renders one traced request event.
void PrintTraceEvent(const sim::TraceEvent& event);

using Bytes = std::vector<uint8_t>;

// Lets the machine run until `done` holds: a few virtual seconds at most.
bool RunUntil(const std::function<bool()>& done);

// "03 01, 01 03": control messages as the adapter took them.
std::string Hex(const std::vector<Bytes>& messages);
// The control messages the adapter received after its first `from`.
std::vector<Bytes> MessagesSince(sim::usb::SerialAdapter& adapter, size_t from);
// 115200 8N1 with RTS/CTS handshake and DTR on.
bool UseHardwareFlow(HANDLE port);

// An overlapped read or write started at construction; Finish waits for it.
struct Request {
  enum Kind { Read, Write };
  Request(HANDLE port, Kind kind, Bytes data);
  ~Request();
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
  bool Done();
  // Waits a minute of the machine's clock at most, then purges (the port's
  // reads have no cancel routine): a request that would never end shows as a
  // failed check rather than a hung show.
  void Finish();
  bool Ended(NTSTATUS expected, DWORD count) { return !pending && status == expected && bytes == count; }
  Bytes Sent() const { return Bytes(buffer.begin(), buffer.begin() + bytes); }  // the first `bytes` of a write

  HANDLE port;
  Bytes buffer;
  win32::OVERLAPPED overlapped{};
  bool pending = false;
  NTSTATUS status = STATUS_PENDING;
  DWORD bytes = 0;
};

// The far end of a port's line, played by the simulator on an adapter wired
// for a script. Holding CTS low stops the adapter's UART: its transmit FIFO
// fills, its bulk OUT endpoint refuses more and the port's pipe write stays
// in flight.
struct FarEnd {
  sim::usb::SerialAdapter& adapter;
  void Hold() { adapter.PeerSetLines(sim::usb::kLineDsr); }
  void Release() { adapter.PeerSetLines(sim::usb::kLineCts | sim::usb::kLineDsr); }
  void Send(const std::string& text) { adapter.PeerSend(std::span((const uint8_t*)text.data(), text.size())); }
  // What it received, once `count` bytes are there.
  Bytes Take(size_t count);
};

}  // namespace simulator

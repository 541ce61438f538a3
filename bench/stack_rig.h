// The whole stack for benchmarks: a machine with tolvane and merrow, a
// number of USB-serial adapters on the simulated bus, each with a port of its
// own (COM7, COM8, ...) bound to it by its serial number, and the application
// side: the ports and the adapters' pipe files opened as a program opens
// them. Written for speed measurements, so it keeps out of the way: no trace,
// no capture, the verifier on as everywhere.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/usb/adapter.h"
#include "sim/usb/controller.h"
#include "sim/win32/win32.h"

namespace bench {

using Bytes = std::vector<uint8_t>;

struct StackOptions {
  int adapters = 1;
  sim::usb::Speed speed = sim::usb::Speed::High;
  bool timed = false;           // the bus in timed mode (else instant)
  bool virtualTime = true;      // false: the machine's clock is real time
  bool loopback = true;         // the loopback plug (else the far end is played by the benchmark)
  bool pacing = false;          // the adapter's UART sends at the line rate
  // The adapter's receive FIFO. A loopback needs RTS/CTS handshake (OpenPort's
  // or UseAdapterHandshake) unless the FIFO holds whatever is written.
  size_t receiveFifo = 512;
  // The transmit FIFO takes a whole packet: the adapter refuses (NAKs) a
  // packet it has no room for, and a high-speed packet is 512 bytes.
  size_t transmitFifo = 1024;
  bool ports = true;            // add a port per adapter (false: merrow alone)
  // The ports' device variant. Under variant 2 the port itself raises RTS
  // when RTS/CTS handshake is chosen, which the adapter model needs to let
  // its UART send into the loopback plug.
  ULONG endPointCaps = 2;
};

class StackMachine {
 public:
  explicit StackMachine(StackOptions options);
  ~StackMachine();
  StackMachine(const StackMachine&) = delete;
  StackMachine& operator=(const StackMachine&) = delete;

  // Every adapter bound, its port started with both pipes open.
  bool Ready() const { return ready_; }
  int Count() const { return (int)adapters_.size(); }
  sim::Machine& Machine() { return machine_; }
  sim::usb::HostController& Usb() { return *usb_; }
  sim::usb::SerialAdapter& Adapter(int index) { return *adapters_[index]; }

  // \\.\COM<7 + index>, opened for overlapped I/O, its read and write
  // timeouts off (a read waits for its whole length). With `handshake`, RTS/CTS
  // flow control as well: the loopback plug then never overruns the adapter's
  // receive FIFO, since RTS (looped to CTS) drops before it is full.
  HANDLE OpenPort(int index, bool handshake = false);
  // The adapter's output pipe (\PIPE00) and input pipe (\PIPE01), overlapped.
  HANDLE OpenPipe(int index, bool input);
  // What OpenPort's handshake tells the adapter, sent straight through
  // merrow's vendor-command control code: 115200 8N1 with RTS/CTS, RTS and DTR up.
  bool UseAdapterHandshake(int index);

 private:
  bool WaitStarted();

  StackOptions options_;
  sim::Machine machine_;
  std::unique_ptr<sim::usb::HostController> usb_;
  std::vector<std::shared_ptr<sim::usb::SerialAdapter>> adapters_;
  std::vector<int> usbPorts_;
  std::vector<sim::DeviceNode*> portNodes_;
  bool ready_ = false;
};

// An overlapped read or write started at construction.
class Transfer {
 public:
  Transfer(HANDLE file, uint8_t* buffer, DWORD length, bool write);
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  HANDLE Event() const { return overlapped_.hEvent; }
  bool Done();
  // Waits for the end; the bytes moved, or -1 when the request failed.
  long Finish();

 private:
  HANDLE file_;
  win32::OVERLAPPED overlapped_{};
  bool pending_ = false;
  long result_ = -1;
};

// Reads exactly `length` bytes from `file` (a pipe read may end short, at a
// short packet) while `write` goes on; returns whether both moved every byte.
bool WriteAndReadBack(HANDLE out, HANDLE in, const Bytes& sent, Bytes& received);

Bytes Pattern(size_t length, uint8_t seed);

}  // namespace bench

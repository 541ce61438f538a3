// The whole stack on one machine: an application on \\.\COM7, tolvane's port,
// merrow on the USB-serial adapter, the simulated bus and the adapter's far
// end, so a test can act at both ends and check bytes and statuses at each.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "port/routines.h"
#include "sim/tools/portstate.h"
#include "tests/pipe/io_kit.h"
#include "tests/pipe/pipe_kit.h"
#include "tests/port/port_kit.h"

namespace stacktest {

using namespace win32;
using porttest::IoctlResult;
using porttest::kMs;

constexpr LONGLONG kSecond = 1000 * kMs;

struct StackConfig {
  ULONG endPointCaps = 1;
  LONG cxPollPeriod = 0;                           // written to the port's key when not 0
  std::u16string targetDevice = u"Vid_5E1A&Pid_0C01";
  porttest::Values portValues;                     // more values of the port's hardware key
  pipetest::PipeConfig pipe;                       // the adapter, its faults, merrow's values
  bool portFirst = false;                          // add the port before the adapter is plugged
  bool farEndScript = true;                        // the test plays the far end (else the loopback plug)
  std::function<void(sim::Machine&)> beforePort;   // runs before the port's device node is added
  std::vector<std::u16string> portLowerFilters;    // services below the port in its stack
};

class StackRig {
 public:
  explicit StackRig(StackConfig config = {}, sim::MachineOptions options = {});
  ~StackRig();
  StackRig(const StackRig&) = delete;
  StackRig& operator=(const StackRig&) = delete;

  sim::Machine& Machine() { return pipe_.Machine(); }
  pipetest::PipeRig& Pipe() { return pipe_; }
  sim::usb::SerialAdapter& Adapter() { return *pipe_.Adapter(); }
  sim::DeviceNode* PortNode() const { return portNode_; }
  // The port's device object while the node has one (nullptr after a failed AddDevice).
  PDEVICE_OBJECT PortDevice() const;
  PPORT_EXTENSION Port() const { return PortDevice() ? PortExtension(PortDevice()) : nullptr; }
  PDRIVER_OBJECT PortDriver() { return Machine().Pnp().LoadedDriver(u"tolvane"); }

  // Adds the port's device node (done by the constructor unless told otherwise).
  sim::DeviceNode* AddPort();
  HANDLE Open(DWORD flags = 0);
  // Lets the machine run until `done` holds (a virtual second at most).
  bool RunUntil(const std::function<bool()>& done);
  // Until the binding work has opened the pipes and started what it starts,
  // or until the port let go of its target.
  bool WaitBound();
  bool WaitUnbound();
  // The adapter's messages from index `from` on, as byte strings.
  std::vector<std::vector<uint8_t>> MessagesSince(size_t from);
  // Runs `body` as a routine of tolvane.
  void AsPort(const std::function<void()>& body);

 private:
  StackConfig config_;
  pipetest::PipeRig pipe_;
  sim::DeviceNode* portNode_ = nullptr;
};

// The port's fields as a test reads them while the machine runs: the fields
// the driver reads without a lock through ReadShared are read the same way
// (ReadShared(port->PortOpen)); these read the others as the driver does,
// under the lock that guards them.
LONG BusyCount(PPORT_EXTENSION port);
using portstate::LoopActive;
// The bytes the current read holds, or nothing while no read is current.
std::optional<ULONG_PTR> CurrentReadBytes(PPORT_EXTENSION port);
// A write is current and its pipe write was sent.
bool WriteInFlight(PPORT_EXTENSION port);
// The port let go of its target's file object and device.
bool TargetReleased(PPORT_EXTENSION port);

// A read or write as the application sees it.
using pipetest::IoResult;
using pipetest::ReadPipe;
// An overlapped read or write started at construction; Finish waits for it.
struct PendingIo {
  PendingIo(HANDLE port, std::vector<uint8_t> buffer, bool write);
  ~PendingIo();
  PendingIo(const PendingIo&) = delete;
  PendingIo& operator=(const PendingIo&) = delete;
  bool Done();
  IoResult Finish();

  HANDLE port;
  std::vector<uint8_t> buffer;
  OVERLAPPED overlapped{};
  bool started = false;
  IoResult result{STATUS_PENDING, 0};
};

struct PendingRead : PendingIo {
  PendingRead(HANDLE port, DWORD length) : PendingIo(port, std::vector<uint8_t>(length), false) {}
  std::vector<uint8_t> Bytes();  // what Finish delivered
};

struct PendingWrite : PendingIo {
  PendingWrite(HANDLE port, std::vector<uint8_t> bytes) : PendingIo(port, std::move(bytes), true) {}
};

bool SetTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant);
bool SetWriteTimeouts(HANDLE port, DWORD multiplier, DWORD constant);

// The far end sending pieces of text at chosen times (milliseconds of the
// machine's clock from construction), from a thread of its own.
class FarEnd {
 public:
  FarEnd(StackRig& rig, std::vector<std::pair<LONGLONG, std::string>> pieces);
  ~FarEnd() { thread_.Join(); }

 private:
  sim::Thread thread_;
};

// Milliseconds of the machine's clock since `start` (a porttest::Now()).
inline LONGLONG MsSince(LONGLONG start) { return (porttest::Now() - start) / kMs; }

}  // namespace stacktest

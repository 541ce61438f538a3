// The port's fuzz machine: merrow started on a USB-serial adapter whose far
// end the harness plays, and tolvane's port bound to it as COM7.
//
// The machine, merrow and the adapter live across inputs (rebuilt every so
// many inputs, as the merrow harnesses do). The port's device node is added
// for each input and removed after it, so every input starts from a port
// with its default settings, and tolvane unloads after every input: the
// unload checks that it left no pool, timers or devices behind. After the
// removal merrow's pool and the bus must be back where they were before the
// input.
#pragma once

#include <cstdint>
#include <memory>

#include "fuzz/fuzz_kit.h"
#include "port/routines.h"

namespace fuzzkit {

class PortMachine {
 public:
  static PortMachine& Get();

  // Adds the port's device node with `endPointCaps` and waits until it has
  // bound to merrow and opened the pipes it opens while closed.
  void AddPort(ULONG endPointCaps);
  // Removes the port's node and checks what tolvane and merrow left.
  void RemovePort();

  HANDLE Open();  // \\.\COM7, overlapped; INVALID_HANDLE_VALUE on failure
  sim::usb::SerialAdapter& Adapter() { return *adapter_; }
  sim::Machine& Machine() { return *machine_; }
  PPORT_EXTENSION Port();
  // Lets the machine run `milliseconds` of its clock.
  void Run(uint32_t milliseconds);
  // Lets Plug and Play and the notifications settle.
  void Settle();
  // Bytes the application handed to the port to send (writes, immediate
  // characters), and a check that the far end received no more than that.
  // Both count from the machine's boot: bytes the adapter still held when
  // a port went reach the far end during the next input.
  void Wrote(uint64_t bytes) { written_ += bytes; }
  void TakeFarEnd();

 private:
  PortMachine();
  void Boot();
  void Shutdown();
  bool Bound();  // bound, with the binding work done (portstate::BoundAndSettled)
  size_t MerrowPoolBlocks();

  std::unique_ptr<sim::Machine> machine_;
  std::unique_ptr<sim::usb::HostController> usb_;
  std::shared_ptr<sim::usb::SerialAdapter> adapter_;
  sim::DeviceNode* portNode_ = nullptr;
  size_t merrowBlocks_ = 0;      // merrow's pool blocks with no port bound
  size_t busTransfers_ = 0;      // transfers on the bus with no port bound
  uint64_t farEndReceived_ = 0;
  uint64_t written_ = 0;
  uint64_t inputs_ = 0;
};

}  // namespace fuzzkit

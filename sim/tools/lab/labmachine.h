// The serial lab's simulated hardware: a machine in real time with both
// drivers, COM7 (and, for --far nullmodem, COM8) each bound to an adapter of
// its own on the bus (timed like the wire), the far end wired as asked; the
// adapter pulled out and plugged in again on request; at the end the ports
// removed, the adapters unplugged and the machine checked as the self-check
// checks it (no request in flight, no pool left, drivers unloaded).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/tools/options.h"
#include "sim/usb/adapter.h"
#include "sim/usb/controller.h"

namespace simulator::lab {

struct LabPort {
  std::string name;  // COM7
  sim::DeviceNode* node = nullptr;
  std::shared_ptr<sim::usb::SerialAdapter> adapter;
  int usbPort = 0;  // 0 while unplugged
};

class LabMachine {
 public:
  explicit LabMachine(const Options& options);
  ~LabMachine();
  LabMachine(const LabMachine&) = delete;
  LabMachine& operator=(const LabMachine&) = delete;

  // Boots, adds the ports, plugs the adapters, waits until each port is bound.
  bool Boot();
  LabPort& Port(size_t index) { return ports_[index]; }
  size_t PortCount() const { return ports_.size(); }
  // The control socket's hardware requests for port `index`: LINE, UNPLUG, REPLUG.
  std::string Request(size_t index, const std::string& verb);
  // Removes and unplugs everything and checks the machine; returns the failed checks.
  int Shutdown();

 private:
  bool AddPort(const std::string& name, const std::u16string& serial);
  bool WaitBound(const LabPort& port);
  std::string Replug(LabPort& port);

  Options options_;
  std::unique_ptr<sim::Machine> machine_;
  std::unique_ptr<sim::usb::HostController> usb_;
  std::vector<LabPort> ports_;
  std::mutex mutex_;  // one hardware request at a time
};

}  // namespace simulator::lab

// The far end of an adapter's line played by a second pseudo-terminal
// (--far pty): a program on its slave is the device at the other end of the
// wire. What the adapter's UART sends reaches it when the UART has sent it
// (the adapter's peer listener wakes the thread; paced adapters at the line
// rate); what it writes enters the adapter's receive FIFO no faster than the
// line rate and never beyond the FIFO's room, as a device that honours the
// adapter's flow would. It holds CTS, DSR and DCD up.
#pragma once

#include <atomic>
#include <memory>

#include "sim/kernel/thread.h"
#include "sim/tools/lab/pty.h"
#include "sim/usb/adapter.h"

namespace simulator::lab {

class FarPty {
 public:
  FarPty(std::shared_ptr<sim::usb::SerialAdapter> adapter, Pty& pty);
  ~FarPty();
  FarPty(const FarPty&) = delete;
  FarPty& operator=(const FarPty&) = delete;
  void Start();
  void Stop();

 private:
  void ToAdapter();
  void FromAdapter();
  void Send(const uint8_t* data, size_t length);

  std::shared_ptr<sim::usb::SerialAdapter> adapter_;
  Pty& pty_;
  int wakeFd_ = -1;  // eventfd: the adapter sent bytes
  int stopFd_ = -1;
  std::atomic<bool> stopping_{false};
  std::unique_ptr<sim::Thread> in_, out_;
};

}  // namespace simulator::lab

// What merrow's fuzz harnesses share: a simulated machine with merrow bound
// to the fuzz device's hardware ID and a host controller, the device plugged
// in and pulled out per input, the application's view of the pipe files with
// overlapped requests, and findings that abort so libFuzzer keeps the input.
//
// The machine lives across inputs (booting one per input costs more than the
// input itself) and is rebuilt every so many inputs, so what it accumulates
// (removed device nodes, virtual time) stays small. Every input plugs its own
// device and pulls it out again: merrow's driver object is loaded by the
// first device and unloaded with the last, and the unload checks that merrow
// left no pool, timers, work items or devices behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/usb/adapter.h"
#include "sim/usb/controller.h"
#include "sim/win32/win32.h"

namespace fuzzkit {

using win32::BOOL;

// The adapter's identity the fuzz machine binds merrow to.
constexpr USHORT kVendor = 0x5E1A;
constexpr USHORT kProduct = 0x0C01;

// Reads the input front to back; past its end every read gives 0.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Word() { return (uint16_t)(Byte() | Byte() << 8); }
  // Up to `count` bytes (fewer at the end of the input).
  std::vector<uint8_t> Bytes(size_t count);
  bool Empty() const { return at_ >= size_; }
  size_t Left() const { return at_ < size_ ? size_ - at_ : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Stops the run as libFuzzer needs it to record the input: a message and abort.
[[noreturn]] void Finding(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The entry of `table` that `pick` chooses (modulo its size).
template <typename T, size_t N>
T OneOf(const T (&table)[N], unsigned pick) {
  return table[pick % N];
}

// A length chosen by one byte: below `tableBelow` it picks an entry of
// `table`, otherwise the next word is the length.
template <size_t N>
uint32_t ByteChosenLength(Input& input, const uint32_t (&table)[N], uint8_t tableBelow) {
  uint8_t pick = input.Byte();
  return pick < tableBelow ? OneOf(table, pick) : input.Word();
}

// A length chosen by one word: with its top bit set it picks an entry of
// `table`, otherwise it is the word modulo `freeLimit`.
template <size_t N>
uint32_t WordChosenLength(Input& input, const uint32_t (&table)[N], uint32_t freeLimit) {
  uint16_t word = input.Word();
  return (word & 0x8000) ? OneOf(table, word) : word % freeLimit;
}

// The options of a machine kept between inputs: virtual time with a limit far
// beyond what any input can use (a hang shows as every thread blocked with
// nothing due, or as libFuzzer's timeout), one processor and one worker of
// each kind, so an input costs as few thread hand-offs as it can.
sim::MachineOptions KeptMachineOptions();

// Lets `machine` run a virtual millisecond at a time until `done` holds, for
// at most `milliseconds`; returns whether it held. `done` is asked first.
bool RunUntil(sim::Machine& machine, unsigned milliseconds, const std::function<bool()>& done);

// The machine of the current input. Start() makes (or reuses) it; Plug()
// plugs `model` and waits for Plug and Play; Unplug() pulls the device and
// checks that merrow's device went and its driver unloaded cleanly.
class FuzzMachine {
 public:
  static FuzzMachine& Get();

  // Plugs the device; returns whether merrow's device started.
  bool Plug(std::shared_ptr<sim::usb::DeviceModel> model, const sim::usb::DeviceFaults& faults = {});
  void Unplug();
  // Lets Plug and Play and the notifications settle.
  void Settle();
  // After a successful IOCTL_PIPE_CYCLE_PORT: waits (in virtual time) until
  // the hub has put the device back as a new device node and it settled.
  void WaitForCycle(PDEVICE_OBJECT oldPdo);
  // After a successful IOCTL_PIPE_CYCLE_PORT whose restart cannot be waited
  // for yet (files on the old device are open): Unplug() waits for the hub
  // to have put the device back before it pulls it out.
  void NoteCycle(PDEVICE_OBJECT oldPdo) { cycledPdo_ = oldPdo; }
  bool CyclePending() const { return cycledPdo_ != nullptr; }

  // merrow's pipe interface link (\??\...), empty when no device is started.
  std::u16string Link();
  HANDLE Open(const std::u16string& pipe);  // overlapped; INVALID_HANDLE_VALUE on failure
  sim::usb::HostController& Usb() { return *usb_; }
  sim::Machine& Machine() { return *machine_; }
  int Port() const { return port_; }

 private:
  FuzzMachine();
  void Boot();
  void Shutdown();
  void DescribeNodes();
  sim::DeviceNode* Node();
  void WaitForNewPdo(PDEVICE_OBJECT oldPdo);

  std::unique_ptr<sim::Machine> machine_;
  std::unique_ptr<sim::usb::HostController> usb_;
  int port_ = 0;
  uint64_t inputs_ = 0;
  PDEVICE_OBJECT cycledPdo_ = nullptr;
};

// One overlapped read, write or device-control request and its buffer. The
// request is finished (completed or cancelled and waited for) by Finish().
class Request {
 public:
  explicit Request(HANDLE file);
  ~Request();
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // A read; a nonzero `frameOffset` sets the byte offset's high part, which
  // schedules an isochronous read that many frames ahead.
  void Read(uint32_t length, uint32_t frameOffset = 0);
  // Writes `data`.
  void Write(std::vector<uint8_t> data);
  // A device-control request with `in` as its input and room for `outLength` bytes.
  void Control(uint32_t code, std::vector<uint8_t> in, uint32_t outLength);
  // Whether the request is still in the driver's hands.
  bool Pending();
  // Waits for the request; cancels it first when `cancel`. Returns its status.
  NTSTATUS Finish(bool cancel);
  // Waits at most `milliseconds` (of the machine's clock) for the request,
  // without needing its handle to be open; returns whether it completed.
  bool WaitDone(DWORD milliseconds);
  NTSTATUS Status() const { return status_; }
  HANDLE File() const { return file_; }
  // The read's or the device-control request's output buffer.
  const std::vector<uint8_t>& Output() const { return out_; }
  DWORD Transferred() const { return transferred_; }

 private:
  void Started(BOOL ok);

  HANDLE file_;
  HANDLE event_;
  std::vector<uint8_t> in_;
  std::vector<uint8_t> out_;
  win32::OVERLAPPED overlapped_{};
  bool pending_ = false;
  NTSTATUS status_ = STATUS_SUCCESS;
  DWORD transferred_ = 0;
};

// merrow's private codes, in function order.
std::vector<uint32_t> ControlCodes();

}  // namespace fuzzkit

// What the tests of merrow's pipe files, transfers and control codes share:
// reading and writing pipe files as an application does, and the bus as the
// capture shows it (every URB going down and coming back, with its data,
// setup packet, isochronous start frame and packet table).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/pipe/pipe_kit.h"

namespace pipetest {

// A read or write as the application sees it.
struct IoResult {
  NTSTATUS status;
  DWORD bytes;
};
IoResult ReadPipe(HANDLE file, void* buffer, DWORD length);
IoResult WritePipe(HANDLE file, const void* buffer, DWORD length);
std::vector<uint8_t> Pattern(size_t length, uint8_t seed = 0);

// Lets the machine run (1 ms of its clock at a time, up to a second) until
// `done` holds: the last reference to a closed file may be dropped on the
// thread that completed its last request, after the application has moved
// on, and only then does a removal that waits for it go ahead.
bool RunUntil(PipeRig& rig, const std::function<bool()>& done);

// One record of the capture.
struct BusRecord {
  bool completion = false;
  uint16_t function = 0;
  uint32_t status = 0;       // USBD status (completions)
  uint8_t endpoint = 0;      // address with the direction bit
  uint8_t transfer = 0;      // sim::usb::kPcap*
  int stage = -1;            // control transfers
  uint32_t startFrame = 0;   // isochronous transfers
  std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets;
  std::vector<uint8_t> data;
};

// Captures the bus from construction until Records() is called.
class BusLog {
 public:
  explicit BusLog(PipeRig& rig);
  ~BusLog();
  // Stops the capture and returns what it holds.
  std::vector<BusRecord> Records();
  // The transfers on `endpoint` of `transfer` type, submissions or completions.
  std::vector<BusRecord> Transfers(uint8_t endpoint, bool completion);

 private:
  PipeRig& rig_;
  std::string path_;
  bool stopped_ = false;
  std::vector<BusRecord> records_;
};

// Data lengths of records, in order.
std::vector<size_t> Lengths(const std::vector<BusRecord>& records);

}  // namespace pipetest

// A capture of the bus in the pcap format with link type 249 (USBPcap), which
// Wireshark and tshark decode: each URB as it goes down to the bus and again
// as it completes, with the setup packets of control transfers, the data of
// each direction and the USBD status.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "sim/ddk/ntddk.h"
#include "sim/kernel/scheduler.h"

namespace sim::usb {

constexpr uint32_t kLinkTypeUsbPcap = 249;

// USBPcap's transfer types and control stages.
enum : uint8_t {
  kPcapIsochronous = 0, kPcapInterrupt = 1, kPcapControl = 2, kPcapBulk = 3, kPcapIrpInfo = 0xFE,
};
enum : uint8_t { kStageSetup = 0, kStageData = 1, kStageStatus = 2, kStageComplete = 3 };

// One record: the packet header's fields and the data that follows it.
struct CaptureRecord {
  uint64_t irpId = 0;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  USHORT function = 0;
  bool completion = false;  // PDO to FDO (info bit 0)
  USHORT device = 0;        // the device's address
  UCHAR endpoint = 0;       // address with the direction bit
  UCHAR transfer = kPcapIrpInfo;
  int stage = -1;           // control transfers only
  // Isochronous transfers: the start frame, error count and packets.
  ULONG startFrame = 0, errorCount = 0;
  std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets;
  std::span<const uint8_t> data;
};

class Capture {
 public:
  ~Capture();
  // Starts writing to `path` (truncating it); false if it cannot be opened.
  bool Open(const std::string& path, Tick bootSystemTime);
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  // Appends one record stamped with `now` (kernel time).
  void Write(const CaptureRecord& record, Tick now);
  uint64_t Records() const { return records_; }

  // The bytes of one record's packet (header and data), as written.
  static std::vector<uint8_t> Encode(const CaptureRecord& record);

 private:
  std::FILE* file_ = nullptr;
  Tick bootSystemTime_ = 0;
  uint64_t records_ = 0;
};

}  // namespace sim::usb

// A small reader of the capture files the bus writes (pcap, link type 249),
// decoding USBPcap's packet header: enough to check a capture record by record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace usbkit {

struct PcapPacket {
  uint64_t seconds = 0, microseconds = 0;
  uint16_t headerLength = 0;
  uint64_t irpId = 0;
  uint32_t status = 0;
  uint16_t function = 0;
  bool completion = false;
  uint16_t bus = 0, device = 0;
  uint8_t endpoint = 0, transfer = 0;
  int stage = -1;               // control transfers
  uint32_t isoPackets = 0;      // isochronous transfers
  std::vector<uint8_t> data;    // what follows the header
};

struct PcapFile {
  bool valid = false;
  std::string problem;
  uint32_t linkType = 0;
  std::vector<PcapPacket> packets;
};

PcapFile ReadPcap(const std::string& path);

}  // namespace usbkit

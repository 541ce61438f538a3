#include "tests/usb/pcap_reader.h"

#include <fstream>
#include <iterator>

namespace usbkit {

namespace {

uint64_t Get(const std::vector<uint8_t>& b, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b.at(at + i);
  return v;
}

bool DecodePacket(const std::vector<uint8_t>& p, PcapPacket& out, std::string& problem) {
  if (p.size() < 27) return problem = "packet shorter than the USBPcap header", false;
  out.headerLength = (uint16_t)Get(p, 0, 2);
  out.irpId = Get(p, 2, 8);
  out.status = (uint32_t)Get(p, 10, 4);
  out.function = (uint16_t)Get(p, 14, 2);
  out.completion = (p[16] & 1) != 0;
  out.bus = (uint16_t)Get(p, 17, 2);
  out.device = (uint16_t)Get(p, 19, 2);
  out.endpoint = p[21];
  out.transfer = p[22];
  uint32_t dataLength = (uint32_t)Get(p, 23, 4);
  if (out.headerLength < 27 || out.headerLength + (size_t)dataLength != p.size())
    return problem = "header and data lengths do not add up to the packet", false;
  if (out.transfer == 2) out.stage = p.at(27);
  if (out.transfer == 0) out.isoPackets = (uint32_t)Get(p, 31, 4);
  out.data.assign(p.begin() + out.headerLength, p.end());
  return true;
}

}  // namespace

PcapFile ReadPcap(const std::string& path) {
  PcapFile file;
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (b.size() < 24 || Get(b, 0, 4) != 0xA1B2C3D4) {
    file.problem = "no pcap file header";
    return file;
  }
  file.linkType = (uint32_t)Get(b, 20, 4);
  for (size_t at = 24; at < b.size();) {
    if (b.size() - at < 16) return file.problem = "truncated record header", file;
    PcapPacket packet;
    packet.seconds = Get(b, at, 4);
    packet.microseconds = Get(b, at + 4, 4);
    size_t length = Get(b, at + 8, 4);
    if (Get(b, at + 12, 4) != length || b.size() - at - 16 < length) return file.problem = "truncated record", file;
    std::vector<uint8_t> p(b.begin() + at + 16, b.begin() + at + 16 + length);
    if (!DecodePacket(p, packet, file.problem)) return file;
    file.packets.push_back(std::move(packet));
    at += 16 + length;
  }
  file.valid = true;
  return file;
}

}  // namespace usbkit

#include "sim/usb/capture.h"

namespace sim::usb {

namespace {

// Seconds between 1601 (system time) and 1970 (pcap time), in 100 ns.
constexpr Tick kEpochDifference = 116444736000000000LL;
constexpr USHORT kBaseHeader = 27;  // USBPCAP_BUFFER_PACKET_HEADER, packed

void Put(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back((uint8_t)(value >> (8 * i)));
}

USHORT HeaderLength(const CaptureRecord& r) {
  if (r.transfer == kPcapControl) return kBaseHeader + 1;
  if (r.transfer == kPcapIsochronous) return (USHORT)(kBaseHeader + 12 + 12 * r.packets.size());
  return kBaseHeader;
}

}  // namespace

Capture::~Capture() { Close(); }

bool Capture::Open(const std::string& path, Tick bootSystemTime) {
  Close();
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) return false;
  bootSystemTime_ = bootSystemTime;
  records_ = 0;
  // The pcap file header: magic, version 2.4, GMT offset 0, accuracy 0,
  // snapshot length, link type.
  std::vector<uint8_t> header;
  Put(header, 0xA1B2C3D4, 4);
  Put(header, 2, 2);
  Put(header, 4, 2);
  Put(header, 0, 4);
  Put(header, 0, 4);
  Put(header, 0x40000, 4);
  Put(header, kLinkTypeUsbPcap, 4);
  std::fwrite(header.data(), 1, header.size(), file_);
  std::fflush(file_);
  return true;
}

void Capture::Close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

std::vector<uint8_t> Capture::Encode(const CaptureRecord& r) {
  std::vector<uint8_t> out;
  Put(out, HeaderLength(r), 2);
  Put(out, r.irpId, 8);
  Put(out, (uint32_t)r.status, 4);
  Put(out, r.function, 2);
  Put(out, r.completion ? 1 : 0, 1);
  Put(out, 1, 2);  // bus: the one root hub
  Put(out, r.device, 2);
  Put(out, r.endpoint, 1);
  Put(out, r.transfer, 1);
  Put(out, r.data.size(), 4);
  if (r.transfer == kPcapControl) Put(out, (uint8_t)r.stage, 1);
  if (r.transfer == kPcapIsochronous) {
    Put(out, r.startFrame, 4);
    Put(out, r.packets.size(), 4);
    Put(out, r.errorCount, 4);
    for (const USBD_ISO_PACKET_DESCRIPTOR& p : r.packets) {
      Put(out, p.Offset, 4);
      Put(out, p.Length, 4);
      Put(out, (uint32_t)p.Status, 4);
    }
  }
  out.insert(out.end(), r.data.begin(), r.data.end());
  return out;
}

void Capture::Write(const CaptureRecord& record, Tick now) {
  if (!file_) return;
  std::vector<uint8_t> packet = Encode(record);
  Tick sinceEpoch = bootSystemTime_ + now - kEpochDifference;
  if (sinceEpoch < 0) sinceEpoch = now;
  std::vector<uint8_t> header;
  Put(header, (uint64_t)(sinceEpoch / 10'000'000), 4);
  Put(header, (uint64_t)(sinceEpoch % 10'000'000 / 10), 4);
  Put(header, packet.size(), 4);
  Put(header, packet.size(), 4);
  std::fwrite(header.data(), 1, header.size(), file_);
  std::fwrite(packet.data(), 1, packet.size(), file_);
  std::fflush(file_);
  ++records_;
}

}  // namespace sim::usb

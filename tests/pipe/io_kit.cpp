#include "tests/pipe/io_kit.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "sim/usb/capture.h"

namespace pipetest {

IoResult ReadPipe(HANDLE file, void* buffer, DWORD length) {
  DWORD done = 0xDEADBEEF;
  BOOL ok = ReadFile(file, buffer, length, &done, nullptr);
  return {ok ? STATUS_SUCCESS : LastNtStatus(), done};
}

IoResult WritePipe(HANDLE file, const void* buffer, DWORD length) {
  DWORD done = 0xDEADBEEF;
  BOOL ok = WriteFile(file, buffer, length, &done, nullptr);
  return {ok ? STATUS_SUCCESS : LastNtStatus(), done};
}

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = (uint8_t)(seed + i * 7 + i / 251);
  return bytes;
}

bool RunUntil(PipeRig& rig, const std::function<bool()>& done) {
  for (int ms = 0; ms < 1000; ++ms) {
    rig.Pnp().WaitIdle();
    if (done()) return true;
    Sleep(1);
  }
  return done();
}

namespace {

uint64_t Get(const std::vector<uint8_t>& b, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b.at(at + i);
  return v;
}

// One USBPcap packet: the 27-byte header, the control stage or the
// isochronous header with its packet table, then the data.
BusRecord Decode(const std::vector<uint8_t>& p) {
  BusRecord r;
  size_t headerLength = Get(p, 0, 2);
  r.status = (uint32_t)Get(p, 10, 4);
  r.function = (uint16_t)Get(p, 14, 2);
  r.completion = (p.at(16) & 1) != 0;
  r.endpoint = p.at(21);
  r.transfer = p.at(22);
  if (r.transfer == sim::usb::kPcapControl) r.stage = p.at(27);
  if (r.transfer == sim::usb::kPcapIsochronous) {
    r.startFrame = (uint32_t)Get(p, 27, 4);
    uint32_t count = (uint32_t)Get(p, 31, 4);
    for (uint32_t i = 0; i < count; ++i) {
      size_t at = 39 + 12 * i;
      r.packets.push_back({(ULONG)Get(p, at, 4), (ULONG)Get(p, at + 4, 4), (USBD_STATUS)Get(p, at + 8, 4)});
    }
  }
  r.data.assign(p.begin() + (long)headerLength, p.end());
  return r;
}

std::vector<BusRecord> ReadCapture(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<BusRecord> records;
  for (size_t at = 24; at + 16 <= b.size();) {
    size_t length = Get(b, at + 8, 4);
    std::vector<uint8_t> packet(b.begin() + (long)at + 16, b.begin() + (long)(at + 16 + length));
    records.push_back(Decode(packet));
    at += 16 + length;
  }
  return records;
}

std::string UniquePath() {
  static std::atomic<int> next{0};
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "pipe";
  std::replace(name.begin(), name.end(), '/', '_');  // parameterised tests have slashes in their names
  return ::testing::TempDir() + "merrow-" + name + "-" + std::to_string(getpid()) + "-" + std::to_string(next++) +
         ".pcap";
}

}  // namespace

BusLog::BusLog(PipeRig& rig) : rig_(rig), path_(UniquePath()) { EXPECT_TRUE(rig_.Usb().StartCapture(path_)); }

BusLog::~BusLog() {
  if (!stopped_) rig_.Usb().StopCapture();
  std::remove(path_.c_str());
}

std::vector<BusRecord> BusLog::Records() {
  if (!stopped_) {
    rig_.Usb().StopCapture();
    stopped_ = true;
    records_ = ReadCapture(path_);
  }
  return records_;
}

std::vector<BusRecord> BusLog::Transfers(uint8_t endpoint, bool completion) {
  std::vector<BusRecord> out;
  for (const BusRecord& r : Records())
    if (r.endpoint == endpoint && r.completion == completion && r.transfer != sim::usb::kPcapIrpInfo) out.push_back(r);
  return out;
}

std::vector<size_t> Lengths(const std::vector<BusRecord>& records) {
  std::vector<size_t> out;
  for (const BusRecord& r : records) out.push_back(r.data.size());
  return out;
}

}  // namespace pipetest

// The bus capture: a pcap file with link type 249 that shows the hub's
// enumeration of a new device, then every URB going down and completing, with
// setup packets, data in the direction it travels, statuses and IRP ids. Read
// back by the test's own reader, and by tshark where it is installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "sim/usb/capture.h"
#include "tests/usb/pcap_reader.h"
#include "tests/usb/usbkit.h"

namespace {

using sim::usb::SerialAdapter;
using usbkit::PcapPacket;

// Each test runs as a process of its own, in parallel with the others: the
// file is named after the test and the process.
std::string TempPath(const char* name) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return ::testing::TempDir() + test->name() + "_" + std::to_string(getpid()) + "_" + name;
}

// The setup packet of a control SETUP record.
struct SetupPacketSeen {
  uint8_t type, request;
  uint16_t value, index, length;
};
SetupPacketSeen SetupOf(const PcapPacket& p) {
  const auto& d = p.data;
  return {d[0], d[1], (uint16_t)(d[2] | d[3] << 8), (uint16_t)(d[4] | d[5] << 8), (uint16_t)(d[6] | d[7] << 8)};
}

class Capture : public ::testing::Test {
 protected:
  Capture() {
    path = TempPath("usb_capture_test.pcap");
    EXPECT_TRUE(bus.controller->StartCapture(path));
    adapter = std::make_shared<SerialAdapter>();
    port = bus.Plug(adapter);
  }
  ~Capture() override { std::remove(path.c_str()); }
  usbkit::PcapFile Read() {
    bus.controller->StopCapture();
    return usbkit::ReadPcap(path);
  }

  usbkit::Bus bus;
  std::string path;
  std::shared_ptr<SerialAdapter> adapter;
  int port = 0;
};

TEST_F(Capture, ShowsTheHubEnumeratingTheDevice) {
  usbkit::PcapFile file = Read();
  ASSERT_TRUE(file.valid) << file.problem;
  EXPECT_EQ(file.linkType, 249u);
  std::vector<SetupPacketSeen> setups;
  std::vector<int> addresses;
  for (const PcapPacket& p : file.packets) {
    EXPECT_EQ(p.transfer, sim::usb::kPcapControl);
    if (p.stage != sim::usb::kStageSetup) continue;
    ASSERT_EQ(p.data.size(), 8u);
    setups.push_back(SetupOf(p));
    addresses.push_back(p.device);
  }
  ASSERT_EQ(setups.size(), 8u);
  EXPECT_EQ(setups[0].request, USB_REQUEST_GET_DESCRIPTOR);
  EXPECT_EQ(setups[0].value, 0x0100);
  EXPECT_EQ(setups[0].length, 64) << "a hub first asks for 64 bytes of the device descriptor";
  EXPECT_EQ(addresses[0], 0) << "at the default address";
  EXPECT_EQ(setups[1].request, USB_REQUEST_SET_ADDRESS);
  EXPECT_EQ(setups[1].value, bus.controller->Address(port));
  EXPECT_EQ(addresses[2], bus.controller->Address(port)) << "then at the new address";
  EXPECT_EQ(setups[2].length, 18);
  EXPECT_EQ(setups[3].value, 0x0200);
  EXPECT_EQ(setups[3].length, 9);
  EXPECT_EQ(setups[4].length, 9 + 9 + 21) << "then the whole configuration";
  EXPECT_EQ(setups[5].value, 0x0300) << "the language list";
  EXPECT_EQ(setups[6].value, 0x0303) << "the serial number";
  EXPECT_EQ(setups[7].value, 0x0302) << "the product";
  EXPECT_EQ(setups[7].index, 0x0409);

  // Every completion follows its request with the same IRP id and carries the IN data.
  const PcapPacket& completion = file.packets[1];
  EXPECT_TRUE(completion.completion);
  EXPECT_EQ(completion.irpId, file.packets[0].irpId);
  EXPECT_EQ(completion.stage, sim::usb::kStageComplete);
  EXPECT_EQ(completion.data.size(), 18u);
  EXPECT_EQ(completion.status, (uint32_t)USBD_STATUS_SUCCESS);
}

TEST_F(Capture, RecordsEveryUrbAndItsCompletionWithDataInItsDirection) {
  usbkit::Selected s = usbkit::SelectFirstConfiguration(bus.Top(port));
  uint64_t before = bus.controller->CapturedRecords();
  uint8_t message[3] = {0x00, 0x08, 0x01};
  URB vendor = usbkit::VendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 0x0B, 0, 0, message, 3);
  ASSERT_EQ(usbkit::SendAndWait(bus.Top(port), &vendor), STATUS_SUCCESS);
  uint8_t out[5] = {'a', 'b', 'c', 'd', 'e'};
  URB write = usbkit::BulkUrb(s.pipes[0].PipeHandle, out, 5, 0);
  ASSERT_EQ(usbkit::SendAndWait(bus.Top(port), &write), STATUS_SUCCESS);
  uint8_t in[64];
  URB read = usbkit::BulkUrb(s.pipes[1].PipeHandle, in, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  ASSERT_EQ(usbkit::SendAndWait(bus.Top(port), &read), STATUS_SUCCESS);
  URB stalled = usbkit::VendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 0x0B, 0, 0, message, 0);
  ASSERT_EQ(usbkit::SendAndWait(bus.Top(port), &stalled), STATUS_UNSUCCESSFUL);

  usbkit::PcapFile file = Read();
  ASSERT_TRUE(file.valid) << file.problem;
  std::vector<PcapPacket> p(file.packets.begin() + (long)before, file.packets.end());
  ASSERT_EQ(p.size(), 3u + 2 + 2 + 2);
  // The vendor message: setup, OUT data stage, completion.
  EXPECT_EQ(p[0].function, URB_FUNCTION_VENDOR_DEVICE);
  SetupPacketSeen setup = SetupOf(p[0]);
  EXPECT_EQ(setup.type, 0x40);
  EXPECT_EQ(setup.request, 0x0B);
  EXPECT_EQ(setup.length, 3);
  EXPECT_EQ(p[1].stage, sim::usb::kStageData);
  EXPECT_EQ(p[1].data, std::vector<uint8_t>(message, message + 3));
  EXPECT_EQ(p[2].stage, sim::usb::kStageComplete);
  EXPECT_TRUE(p[2].data.empty());
  // The write carries its data down, the read brings it back up.
  EXPECT_EQ(p[3].transfer, sim::usb::kPcapBulk);
  EXPECT_EQ(p[3].endpoint, 0x01);
  EXPECT_EQ(p[3].headerLength, 27);
  EXPECT_EQ(p[3].data.size(), 5u);
  EXPECT_TRUE(p[4].completion && p[4].data.empty());
  EXPECT_EQ(p[5].endpoint, 0x82);
  EXPECT_TRUE(p[5].data.empty());
  EXPECT_EQ(p[6].data, std::vector<uint8_t>(out, out + 5));
  EXPECT_EQ(p[6].irpId, p[5].irpId);
  // The refused message shows its status.
  EXPECT_EQ(p[8].status, (uint32_t)USBD_STATUS_STALL_PID);
}

TEST_F(Capture, IsochronousRecordsCarryTheirPacketTables) {
  sim::usb::AdapterConfig config;
  config.controlAndIsochronous = true;
  int p = bus.Plug(std::make_shared<SerialAdapter>(config));
  usbkit::Selected s = usbkit::SelectFirstConfiguration(bus.Top(p));
  ASSERT_EQ(s.pipes.size(), 5u);
  const ULONG packets = 3;
  std::vector<uint8_t> storage(GET_ISO_URB_SIZE(packets));
  auto urb = (PURB)storage.data();
  urb->UrbHeader.Length = (USHORT)storage.size();
  urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
  auto& t = urb->UrbIsochronousTransfer;
  std::vector<uint8_t> buffer(packets * 192);
  t.PipeHandle = s.pipes[4].PipeHandle;
  t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
  t.TransferBuffer = buffer.data();
  t.TransferBufferLength = (ULONG)buffer.size();
  t.NumberOfPackets = packets;
  for (ULONG i = 0; i < packets; ++i) t.IsoPacket[i].Offset = i * 192;
  ASSERT_EQ(usbkit::SendAndWait(bus.Top(p), urb), STATUS_SUCCESS);
  usbkit::PcapFile file = Read();
  ASSERT_TRUE(file.valid) << file.problem;
  const PcapPacket& done = file.packets.back();
  EXPECT_EQ(done.transfer, sim::usb::kPcapIsochronous);
  EXPECT_TRUE(done.completion);
  EXPECT_EQ(done.endpoint, 0x85);
  EXPECT_EQ(done.isoPackets, packets);
  EXPECT_EQ(done.headerLength, 27 + 12 + 12 * packets);
}

TEST_F(Capture, TsharkDecodesTheFileWhereItIsInstalled) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  usbkit::Selected s = usbkit::SelectFirstConfiguration(bus.Top(port));
  uint8_t out[4] = {1, 2, 3, 4};
  URB write = usbkit::BulkUrb(s.pipes[0].PipeHandle, out, 4, 0);
  ASSERT_EQ(usbkit::SendAndWait(bus.Top(port), &write), STATUS_SUCCESS);
  Read();
  std::string command = "tshark -r " + path + " -T fields -e usb.transfer_type -e usb.setup.bRequest -e usb.capdata 2>&1";
  std::FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) output += line;
  EXPECT_EQ(pclose(pipe), 0) << output;
  EXPECT_NE(output.find("0x02\t6"), std::string::npos) << "GET_DESCRIPTOR setups decoded:\n" << output;
  EXPECT_NE(output.find("0x02\t9"), std::string::npos) << "SET_CONFIGURATION decoded:\n" << output;
  EXPECT_NE(output.find("01020304"), std::string::npos) << "bulk data decoded:\n" << output;
  EXPECT_EQ(output.find("Malformed"), std::string::npos) << output;
}

}  // namespace

// Pipe files as a client opens them below merrow's interface: the three name
// forms, the names refused, one open per pipe, and the device handle.
#include "tests/pipe/io_kit.h"

namespace pipetest {
namespace {

// The default adapter's pipes: 0 bulk OUT 0x01, 1 bulk IN 0x82, 2 interrupt IN 0x83.
class PipeNames : public PipeTest {
 protected:
  // Opens `name`, returns the endpoint address of the pipe it got (0 when
  // refused, with the status in `status`), and closes it again.
  UCHAR EndpointOf(const std::u16string& name, NTSTATUS* status = nullptr) {
    HANDLE file = rig_.Open(name);
    if (status) *status = file == INVALID_HANDLE_VALUE ? LastNtStatus() : STATUS_SUCCESS;
    if (file == INVALID_HANDLE_VALUE) return 0;
    PIPE_INFO_OUTPUT info{};
    IoctlResult r = Ioctl(file, IOCTL_PIPE_GET_PIPE_INFO, nullptr, 0, &info, sizeof info);
    CloseHandle(file);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    return info.EndpointAddress;
  }
  NTSTATUS OpenStatus(const std::u16string& name) {
    NTSTATUS status;
    EndpointOf(name, &status);
    return status;
  }
};

TEST_F(PipeNames, IndexFormNamesThePipeTableEntry) {
  EXPECT_EQ(EndpointOf(u"\\PIPE00"), 0x01);
  EXPECT_EQ(EndpointOf(u"\\PIPE01"), 0x82);
  EXPECT_EQ(EndpointOf(u"\\PIPE02"), 0x83);
  EXPECT_EQ(EndpointOf(u"\\pipe01"), 0x82) << "the prefix is compared without regard to case";
}

TEST_F(PipeNames, EndpointNumberFormIgnoresTheDirection) {
  EXPECT_EQ(EndpointOf(u"\\EP01"), 0x01);
  EXPECT_EQ(EndpointOf(u"\\EP02"), 0x82);
  EXPECT_EQ(EndpointOf(u"\\ep03"), 0x83);
  EXPECT_EQ(OpenStatus(u"\\EP81"), STATUS_INVALID_HANDLE) << "an endpoint number is below 0x80";
}

TEST_F(PipeNames, EndpointAddressFormNeedsTheDirectionBit) {
  EXPECT_EQ(EndpointOf(u"\\EA01"), 0x01);
  EXPECT_EQ(EndpointOf(u"\\EA82"), 0x82);
  EXPECT_EQ(EndpointOf(u"\\Ea83"), 0x83);
  EXPECT_EQ(OpenStatus(u"\\EA02"), STATUS_INVALID_HANDLE) << "endpoint 2 is IN only";
}

TEST_F(PipeNames, DigitsConvertAsRtlUnicodeStringToIntegerInBase16) {
  EXPECT_EQ(EndpointOf(u"\\PIPEzz"), 0x01) << "no digit at all gives 0";
  EXPECT_EQ(EndpointOf(u"\\PIPE1z"), 0x82) << "conversion stops at the first non-digit";
  EXPECT_EQ(EndpointOf(u"\\EP 2"), 0x82) << "a leading blank is skipped";
  EXPECT_EQ(EndpointOf(u"\\EA+1"), 0x01) << "a sign is taken";
  EXPECT_EQ(OpenStatus(u"\\PIPE-1"), STATUS_INVALID_HANDLE) << "-1 is 0xFFFFFFFF, out of range";
  EXPECT_EQ(OpenStatus(u"\\PIPE10"), STATUS_INVALID_HANDLE) << "\\PIPE10 is index 16";
  EXPECT_EQ(OpenStatus(u"\\PIPE03"), STATUS_INVALID_HANDLE) << "three pipes";
}

TEST_F(PipeNames, NamesOfAnyOtherShapeAreRefused) {
  for (const char16_t* name : {u"\\PIPE0", u"\\PIPE000", u"\\EP001", u"\\EP1", u"\\EA8", u"\\XX01", u"\\PIPX00",
                               u"\\P", u"\\PIPE00\\", u"\\EP01\\EP02", u"\\\\EP01"}) {
    EXPECT_EQ(OpenStatus(name), STATUS_INVALID_HANDLE) << sim::Narrow(name);
  }
}

TEST_F(PipeNames, APipeIsOpenThroughOneFileAtATime) {
  HANDLE first = rig_.Open(u"\\PIPE00");
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenStatus(u"\\PIPE00"), STATUS_INVALID_HANDLE);
  EXPECT_EQ(OpenStatus(u"\\EP01"), STATUS_INVALID_HANDLE) << "another name of the same pipe";
  EXPECT_EQ(EndpointOf(u"\\PIPE01"), 0x82) << "other pipes are free";
  EXPECT_EQ(Ext()->ConfigRecord->PipeTable[0].PipeInfo->PipeFlags, 1u);
  CloseHandle(first);
  EXPECT_EQ(Ext()->ConfigRecord->PipeTable[0].PipeInfo->PipeFlags, 0u);
  EXPECT_EQ(EndpointOf(u"\\EP01"), 0x01) << "free again once closed";
}

TEST_F(PipeNames, OpeningAPipeSwitchesItsStatisticsOffButKeepsTheCounters) {
  PPIPE_TABLE_ENTRY entry = &Ext()->ConfigRecord->PipeTable[1];
  HANDLE file = rig_.Open(u"\\PIPE01");
  ASSERT_EQ(Ioctl(file, IOCTL_PIPE_START_STATISTICS).status, STATUS_SUCCESS);
  entry->TotalBytes = 1234;
  CloseHandle(file);
  file = rig_.Open(u"\\PIPE01");
  EXPECT_FALSE(entry->StatisticsEnabled);
  EXPECT_EQ(entry->TotalBytes, 1234u);
  CloseHandle(file);
}

// A file opened with no name is a handle to the device: device-level codes
// work on it, pipe codes and reads and writes are refused.
TEST_F(PipeNames, DeviceHandleServesDeviceCodesOnly) {
  HANDLE device = rig_.Open(u"");
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  std::vector<uint8_t> descriptor(512);
  IoctlResult r = Ioctl(device, IOCTL_PIPE_GET_CONFIG_DESCRIPTOR, nullptr, 0, descriptor.data(), 512);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.returned, Ext()->ConfigRecord->ConfigurationDescriptor->wTotalLength);
  UCHAR message[2] = {0x01, 0x03};
  EXPECT_EQ(Ioctl(device, IOCTL_PIPE_VENDOR_COMMAND, message, 2).status, STATUS_SUCCESS);

  PIPE_INFO_OUTPUT info;
  EXPECT_EQ(Ioctl(device, IOCTL_PIPE_GET_PIPE_INFO, nullptr, 0, &info, sizeof info).status, STATUS_INVALID_HANDLE);
  EXPECT_EQ(Ioctl(device, IOCTL_PIPE_RESET_PIPE).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Ioctl(device, IOCTL_PIPE_ABORT_PIPE).status, STATUS_INVALID_PARAMETER);
  uint8_t byte = 0;
  EXPECT_EQ(WritePipe(device, &byte, 1).status, STATUS_INVALID_HANDLE);
  EXPECT_EQ(ReadPipe(device, &byte, 1).status, STATUS_INVALID_HANDLE);

  HANDLE second = rig_.Open(u"");
  EXPECT_NE(second, INVALID_HANDLE_VALUE) << "device handles are not exclusive";
  CloseHandle(second);
  CloseHandle(device);
  for (ULONG i = 0; i < 3; ++i) EXPECT_EQ(Ext()->ConfigRecord->PipeTable[i].PipeInfo->PipeFlags, 0u);
}

}  // namespace
}  // namespace pipetest

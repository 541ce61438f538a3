// merrow's configuration and pipe table: what start reads from the device,
// the pipe table built from the selected interface, segment sizes from the
// hardware key, malformed descriptors, and the pipe-level URBs.
#include "tests/pipe/pipe_kit.h"

#include <atomic>

#include "sim/kernel/faultrun.h"
#include "sim/kernel/power.h"

namespace pipetest {
namespace {

using sim::RegistryValue;

PPIPE_TABLE_ENTRY Pipe(PipeRig& rig, ULONG index) { return &rig.Extension()->ConfigRecord->PipeTable[index]; }

TEST(PipeConfig, DefaultAdapterGivesThreePipesInInterfaceOrder) {
  PipeRig rig;
  PUSB_CONFIG_RECORD record = rig.Extension()->ConfigRecord;
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->DeviceDescriptor->idVendor, 0x5E1A);
  EXPECT_EQ(record->ConfigurationDescriptor->wTotalLength, 39);
  EXPECT_NE(record->ConfigurationHandle, nullptr);
  ASSERT_EQ(record->InterfaceInformation->NumberOfPipes, 3u);
  struct Expected {
    UCHAR address;
    USBD_PIPE_TYPE type;
    USHORT packet;
  } expected[] = {{0x01, UsbdPipeTypeBulk, 64}, {0x82, UsbdPipeTypeBulk, 64}, {0x83, UsbdPipeTypeInterrupt, 8}};
  for (ULONG i = 0; i < 3; ++i) {
    PPIPE_TABLE_ENTRY entry = &record->PipeTable[i];
    EXPECT_EQ(entry->PipeInfo, &record->InterfaceInformation->Pipes[i]) << "the entry points into the copy";
    EXPECT_EQ(entry->PipeInfo->EndpointAddress, expected[i].address);
    EXPECT_EQ(entry->PipeInfo->PipeType, expected[i].type);
    EXPECT_EQ(entry->PipeInfo->MaximumPacketSize, expected[i].packet);
    EXPECT_EQ(entry->SegmentSize, expected[i].packet) << "without a registry value: one packet";
    EXPECT_EQ(entry->PipeInfo->PipeFlags, 0u) << "a fresh configuration has every pipe closed";
    EXPECT_NE(entry->PipeInfo->PipeHandle, nullptr);
    EXPECT_FALSE(entry->StatisticsEnabled);
    EXPECT_EQ(entry->TotalBytes, 0u) << "statistics never started read as 0";
    EXPECT_EQ(entry->CounterTicks, 0);
    EXPECT_EQ(entry->CycleCount, 0);
  }
}

TEST(PipeConfig, StartReadsBothDescriptorsOnceAndSelectsConfiguration) {
  UrbFilter filter;
  PipeRig rig({.filter = &filter});
  std::vector<UrbRecord> descriptors = filter.Of(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  ASSERT_EQ(descriptors.size(), 2u);
  EXPECT_EQ(descriptors[0].descriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
  EXPECT_EQ(descriptors[0].length, 18u);
  EXPECT_EQ(descriptors[1].descriptorType, USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(descriptors[1].length, 0x209u) << "a descriptor of 521 bytes or less is read once";
  std::vector<UrbRecord> selects = filter.Of(URB_FUNCTION_SELECT_CONFIGURATION);
  ASSERT_EQ(selects.size(), 1u);
  EXPECT_TRUE(selects[0].configuration);
}

// The first read of the configuration descriptor says it has 600 bytes: it is
// read again with exactly that length.
TEST(PipeConfig, LongConfigurationDescriptorIsReadAgainWithItsTotalLength) {
  UrbFilter filter;
  std::atomic<bool> patched{false};
  filter.completed = [&](PURB urb) {
    auto& request = urb->UrbControlDescriptorRequest;
    if (urb->UrbHeader.Function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
        request.DescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || patched.exchange(true))
      return;
    ((PUSB_CONFIGURATION_DESCRIPTOR)request.TransferBuffer)->wTotalLength = 600;
  };
  PipeRig rig({.filter = &filter});
  ASSERT_NE(rig.Extension()->ConfigRecord, nullptr);
  std::vector<UrbRecord> descriptors = filter.Of(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  ASSERT_EQ(descriptors.size(), 3u);
  EXPECT_EQ(descriptors[1].length, 0x209u);
  EXPECT_EQ(descriptors[2].length, 600u) << "the second read asks for exactly wTotalLength";
  EXPECT_EQ(rig.Extension()->ConfigRecord->ConfigurationDescriptor->wTotalLength, 39)
      << "the second read's descriptor is kept";
}

TEST(PipeConfig, OnlyTheFirstInterfaceIsExposed) {
  PipeRig rig({.adapter = {.extraInterfaces = 2}});
  ASSERT_NE(rig.Extension()->ConfigRecord, nullptr);
  EXPECT_EQ(rig.Extension()->ConfigRecord->ConfigurationDescriptor->bNumInterfaces, 3);
  EXPECT_EQ(rig.Extension()->ConfigRecord->InterfaceInformation->InterfaceNumber, 0);
  EXPECT_EQ(rig.Extension()->ConfigRecord->InterfaceInformation->NumberOfPipes, 3u);
}

TEST(PipeConfig, ControlAndIsochronousPipesGetEntriesWithoutSegmentSize) {
  PipeRig rig({.adapter = {.controlAndIsochronous = true}});
  PUSB_CONFIG_RECORD record = rig.Extension()->ConfigRecord;
  ASSERT_NE(record, nullptr);
  ASSERT_EQ(record->InterfaceInformation->NumberOfPipes, 5u);
  EXPECT_EQ(record->PipeTable[3].PipeInfo->PipeType, UsbdPipeTypeControl);
  EXPECT_EQ(record->PipeTable[3].SegmentSize, 0u);
  EXPECT_EQ(record->PipeTable[4].PipeInfo->PipeType, UsbdPipeTypeIsochronous);
  EXPECT_EQ(record->PipeTable[4].SegmentSize, 0u);
}

// "EP2_SegmentSize" for the bulk IN pipe 0x82 (64-byte packets) with the
// default maximum transfer size of 4096.
struct SegmentCase {
  const char* name;
  std::optional<ULONG> value;
  ULONG expected;
};

class SegmentSizes : public ::testing::TestWithParam<SegmentCase> {};

TEST_P(SegmentSizes, RoundedUpToWholePacketsAndCappedByTheMaximumTransferSize) {
  PipeConfig config;
  if (GetParam().value) config.values.emplace_back(u"EP2_SegmentSize", RegistryValue::Dword(*GetParam().value));
  PipeRig rig(config);
  ASSERT_NE(rig.Extension()->ConfigRecord, nullptr);
  EXPECT_EQ(Pipe(rig, 1)->SegmentSize, GetParam().expected);
  EXPECT_EQ(Pipe(rig, 0)->SegmentSize, 64u) << "endpoint 1 has no value";
}

INSTANTIATE_TEST_SUITE_P(PipeConfig, SegmentSizes,
                         ::testing::Values(SegmentCase{"NoValue", std::nullopt, 64}, SegmentCase{"Zero", 0, 64},
                                           SegmentCase{"RoundedUp", 100, 128}, SegmentCase{"Exact", 4096, 4096},
                                           SegmentCase{"Capped", 10000, 4096},
                                           // Rounding in 32 bits would wrap to 0; the cap applies instead.
                                           SegmentCase{"NoWrapNearFourGigabytes", 0xFFFFFFF0u, 4096},
                                           SegmentCase{"Largest", 0xFFFFFFFFu, 4096}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PipeConfig, SegmentValueNamesTheEndpointNumberForBothDirections) {
  PipeRig rig({.values = {{u"EP1_SegmentSize", RegistryValue::Dword(256)},
                          {u"EP3_SegmentSize", RegistryValue::Dword(20)},
                          {u"MaximumTransferSize", RegistryValue::Dword(0x2000)}}});
  ASSERT_NE(rig.Extension()->ConfigRecord, nullptr);
  EXPECT_EQ(Pipe(rig, 0)->SegmentSize, 256u) << "endpoint 0x01";
  EXPECT_EQ(Pipe(rig, 2)->SegmentSize, 24u) << "endpoint 0x83: 20 rounded up to 8-byte packets";
}

TEST(PipeConfig, SegmentSizeFollowsALargerMaximumTransferSize) {
  PipeRig rig({.values = {{u"MaximumTransferSize", RegistryValue::Dword(0x2000)},
                          {u"EP2_SegmentSize", RegistryValue::Dword(10000)}}});
  ASSERT_NE(rig.Extension()->ConfigRecord, nullptr);
  EXPECT_EQ(Pipe(rig, 1)->SegmentSize, 0x2000u) << "10048 capped at 8192";
}

// An interrupt endpoint that reports a packet size of 0: the segment size is
// never 0 (every transfer would then move nothing and never end), and a
// registry value is not divided by 0.
TEST(PipeConfig, ZeroPacketSizeNeverGivesAZeroSegment) {
  {
    PipeRig rig({.adapter = {.interruptPacket = 0}});
    ASSERT_NE(rig.Extension()->ConfigRecord, nullptr);
    EXPECT_EQ(Pipe(rig, 2)->PipeInfo->MaximumPacketSize, 0);
    EXPECT_EQ(Pipe(rig, 2)->SegmentSize, 1u);
  }
  {
    PipeRig rig({.adapter = {.interruptPacket = 0}, .values = {{u"EP3_SegmentSize", RegistryValue::Dword(100)}}});
    ASSERT_NE(rig.Extension()->ConfigRecord, nullptr);
    EXPECT_EQ(Pipe(rig, 2)->SegmentSize, 100u) << "taken as it is, without rounding";
  }
}

// Whether merrow asked the bus to select a configuration (not to unconfigure).
bool Configured(UrbFilter& filter) {
  std::vector<UrbRecord> selects = filter.Of(URB_FUNCTION_SELECT_CONFIGURATION);
  return std::any_of(selects.begin(), selects.end(), [](const UrbRecord& r) { return r.configuration; });
}

// A device serving a broken configuration descriptor: the start either
// succeeds with what could be selected or fails with a status, and the device
// leaves nothing behind when it is unplugged (the verifier stops on a leak).
class MalformedConfiguration : public ::testing::TestWithParam<sim::usb::MalformedDescriptor> {};

TEST_P(MalformedConfiguration, StartEndsCleanly) {
  UrbFilter filter;
  PipeConfig config{.filter = &filter};
  config.faults.malformedConfiguration = GetParam();
  PipeRig rig(config);
  sim::DeviceNode* node = rig.Node();
  ASSERT_NE(node, nullptr);
  sim::NodeState state = node->State();
  EXPECT_TRUE(state == sim::NodeState::Started || state == sim::NodeState::StartFailed) << sim::NodeStateName(state);
  using sim::usb::MalformedDescriptor;
  MalformedDescriptor kind = GetParam();
  bool unsound = kind == MalformedDescriptor::NoInterface || kind == MalformedDescriptor::ZeroLength ||
                 kind == MalformedDescriptor::ShortLength;
  EXPECT_EQ(state, unsound ? sim::NodeState::StartFailed : sim::NodeState::Started)
      << "a descriptor whose lengths do not hold fails the start; one that claims more than it sent is cut";
  if (unsound) {
    EXPECT_FALSE(Configured(filter)) << "merrow itself refuses the descriptor, before any USBD routine parses it";
  }
  if (kind == MalformedDescriptor::TotalLengthTooLarge && state == sim::NodeState::Started) {
    // Only the 39 bytes the device sent come back, with wTotalLength saying so.
    HANDLE device = rig.Open(u"");
    std::vector<uint8_t> out(600, 0xEE);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_PIPE_GET_CONFIG_DESCRIPTOR, nullptr, 0, out.data(), (DWORD)out.size(),
                                &returned, nullptr));
    out.resize(returned);
    EXPECT_EQ(out, sim::usb::AdapterDescriptors({}).configurations[0]);
    CloseHandle(device);
  }
  if (state == sim::NodeState::Started) {
    EXPECT_TRUE(rig.Extension()->Started);
  } else {
    EXPECT_EQ(rig.Device(), nullptr) << "a failed start is followed by the removal";
    EXPECT_TRUE(rig.Links().empty());
  }
  rig.Unplug();
  EXPECT_EQ(node->State(), sim::NodeState::Removed);
  EXPECT_EQ(rig.Driver(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(PipeConfig, MalformedConfiguration,
                         ::testing::Values(sim::usb::MalformedDescriptor::ZeroLength,
                                           sim::usb::MalformedDescriptor::ShortLength,
                                           sim::usb::MalformedDescriptor::TotalLengthTooLarge,
                                           sim::usb::MalformedDescriptor::NoInterface,
                                           sim::usb::MalformedDescriptor::NoEndpoints));

// A configuration longer than the first read takes two reads; a second reply
// with no bytes leaves nothing to trust, and the start fails.
TEST(PipeConfig, AnEmptySecondReplyOfTheConfigurationFailsTheStart) {
  UrbFilter filter;
  filter.completed = [](PURB urb) {
    if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
        urb->UrbControlDescriptorRequest.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
        urb->UrbControlDescriptorRequest.TransferBufferLength > CONFIG_DESCRIPTOR_FIRST_SIZE)
      urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
  };
  PipeConfig config{.filter = &filter};
  config.adapter.extraInterfaces = 25;  // 39 + 25 × 23 bytes: more than the first read takes
  PipeRig rig(config);
  EXPECT_EQ(rig.Node()->State(), sim::NodeState::StartFailed);
  EXPECT_FALSE(Configured(filter)) << "nothing of the empty reply was parsed";
  EXPECT_EQ(rig.Driver(), nullptr) << "nothing left behind";
}

TEST(PipeConfig, FailedSelectStillLetsTheRemovalFreeEverything) {
  UrbFilter filter;
  filter.answer = [](PURB urb) -> std::optional<NTSTATUS> {
    if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION && urb->UrbSelectConfiguration.ConfigurationDescriptor)
      return STATUS_UNSUCCESSFUL;
    return std::nullopt;
  };
  PipeRig rig({.filter = &filter});
  EXPECT_EQ(rig.Node()->State(), sim::NodeState::StartFailed);
  EXPECT_EQ(rig.Driver(), nullptr) << "the removal after the failed start freed the configuration";
}

TEST(PipeConfig, ResetAndAbortSendOnePipeRequestWithThePipesHandle) {
  UrbFilter filter;
  PipeRig rig({.filter = &filter});
  filter.Clear();
  NTSTATUS reset = STATUS_UNSUCCESSFUL, abort = STATUS_UNSUCCESSFUL;
  rig.AsDriver([&] {
    reset = ResetPipe(rig.Device(), Pipe(rig, 1));
    abort = AbortPipe(rig.Device(), Pipe(rig, 2));
  });
  EXPECT_EQ(reset, STATUS_SUCCESS);
  EXPECT_EQ(abort, STATUS_SUCCESS);
  std::vector<UrbRecord> urbs = filter.Records();
  ASSERT_EQ(urbs.size(), 2u);
  EXPECT_EQ(urbs[0].function, URB_FUNCTION_RESET_PIPE);
  EXPECT_EQ(urbs[0].pipe, Pipe(rig, 1)->PipeInfo->PipeHandle);
  EXPECT_EQ(urbs[1].function, URB_FUNCTION_ABORT_PIPE);
  EXPECT_EQ(urbs[1].pipe, Pipe(rig, 2)->PipeInfo->PipeHandle);
}

TEST(PipeConfig, AbortOpenPipesAbortsOnlyOpenPipesAndClosesThem) {
  UrbFilter filter;
  PipeRig rig({.filter = &filter});
  filter.Clear();
  Pipe(rig, 1)->PipeInfo->PipeFlags = 1;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  rig.AsDriver([&] { status = AbortOpenPipes(rig.Device()); });
  EXPECT_EQ(status, STATUS_SUCCESS);
  std::vector<UrbRecord> aborts = filter.Of(URB_FUNCTION_ABORT_PIPE);
  ASSERT_EQ(aborts.size(), 1u);
  EXPECT_EQ(aborts[0].pipe, Pipe(rig, 1)->PipeInfo->PipeHandle);
  EXPECT_EQ(Pipe(rig, 1)->PipeInfo->PipeFlags, 0u);
}

TEST(PipeConfig, AbortFailingKeepsThePipeOpen) {
  UrbFilter filter;
  PipeRig rig({.filter = &filter});
  filter.answer = [](PURB urb) -> std::optional<NTSTATUS> {
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) return STATUS_UNSUCCESSFUL;
    return std::nullopt;
  };
  Pipe(rig, 0)->PipeInfo->PipeFlags = 1;
  NTSTATUS status = STATUS_SUCCESS;
  rig.AsDriver([&] { status = AbortOpenPipes(rig.Device()); });
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL) << "the status of the last abort";
  EXPECT_EQ(Pipe(rig, 0)->PipeInfo->PipeFlags, 1u);
  filter.answer = nullptr;
}

TEST(PipeConfig, WithoutConfigurationAbortOpenPipesSendsNothing) {
  UrbFilter filter;
  PipeRig rig({.filter = &filter});
  NTSTATUS deconfigured = STATUS_UNSUCCESSFUL, aborted = STATUS_UNSUCCESSFUL;
  rig.AsDriver([&] { deconfigured = DeconfigureDevice(rig.Device()); });
  EXPECT_EQ(deconfigured, STATUS_SUCCESS);
  EXPECT_EQ(rig.Extension()->ConfigRecord, nullptr);
  std::vector<UrbRecord> selects = filter.Of(URB_FUNCTION_SELECT_CONFIGURATION);
  ASSERT_EQ(selects.size(), 2u);
  EXPECT_FALSE(selects[1].configuration) << "the device was set unconfigured";
  filter.Clear();
  rig.AsDriver([&] { aborted = AbortOpenPipes(rig.Device()); });
  EXPECT_EQ(aborted, STATUS_SUCCESS);
  EXPECT_TRUE(filter.Records().empty());
  EXPECT_EQ(PipeCount(rig.Device()), 0u);
}

// Every allocation of merrow failing in turn while the adapter is plugged in,
// started, stopped and restarted, put to sleep and woken, and removed: each
// run ends without a crash, a verifier stop or a leak.
bool PipeLife(const sim::MachineOptions& options) {
  PipeRig rig({}, options);
  sim::DeviceNode* node = rig.Node();
  if (!node) return false;
  if (node->State() == sim::NodeState::Started) {
    rig.Pnp().Rebalance(node);
    if (rig.Extension()) {
      rig.Machine().Power().Sleep(PowerSystemSleeping3);
      rig.Machine().Power().Wake();
      if (rig.Extension()->PendingSystemPowerIrp) return false;
    }
  }
  rig.Unplug();
  return node->State() == sim::NodeState::Removed && rig.Driver() == nullptr;
}

TEST(PipeFaults, EveryAllocationFailingInTurnIsSurvived) {
  sim::MachineOptions options;
  options.faults.driver = "merrow";
  sim::FaultRunReport report = sim::RunFailingEachSite(PipeLife, options);
  EXPECT_TRUE(report.AllSurvived()) << report.Describe();
  EXPECT_GE(report.sites.size(), 8u) << report.Describe();
}

}  // namespace
}  // namespace pipetest

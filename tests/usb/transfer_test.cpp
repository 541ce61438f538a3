// Bulk, interrupt and isochronous transfers: an IN transfer stays pending
// until the device has data and then completes from the controller's thread;
// short packets end it (an error at full speed without USBD_SHORT_TRANSFER_OK);
// abort and cancel end pending transfers with what had moved.
#include <gtest/gtest.h>

#include "sim/kernel/thread.h"
#include "tests/usb/usbkit.h"

namespace {

using sim::usb::AdapterConfig;
using sim::usb::SerialAdapter;

constexpr ULONG kReadFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

class Transfers : public ::testing::Test {
 protected:
  void Start(AdapterConfig config = {}) {
    adapter = std::make_shared<SerialAdapter>(config);
    adapter->WireScript();
    port = bus.Plug(adapter);
    top = bus.Top(port);
    selected = usbkit::SelectFirstConfiguration(top);
    ASSERT_EQ(selected.status, STATUS_SUCCESS);
  }
  USBD_PIPE_HANDLE Out() { return selected.pipes[0].PipeHandle; }
  USBD_PIPE_HANDLE In() { return selected.pipes[1].PipeHandle; }
  USBD_PIPE_HANDLE Status() { return selected.pipes[2].PipeHandle; }
  void PeerSends(std::vector<uint8_t> bytes) { adapter->PeerSend(bytes); }

  usbkit::Bus bus;
  std::shared_ptr<SerialAdapter> adapter;
  int port = 0;
  PDEVICE_OBJECT top = nullptr;
  usbkit::Selected selected;
};

TEST_F(Transfers, BulkInStaysPendingUntilDataArrivesAndCompletesShort) {
  Start();
  uint8_t buffer[64] = {};
  URB urb = usbkit::BulkUrb(In(), buffer, sizeof buffer, kReadFlags);
  auto call = usbkit::Send(bus.Top(port), &urb);
  ASSERT_EQ(call->returned, STATUS_PENDING);
  bus.machine.Sleep(50 * sim::kTicksPerMs);
  EXPECT_FALSE(call->Done()) << "no data, no completion";
  PeerSends({'h', 'e', 'l', 'l', 'o'});
  EXPECT_EQ(call->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
  EXPECT_EQ(std::string((char*)buffer, 5), "hello");
}

TEST_F(Transfers, BulkInWithDataThereCompletesBeforeTheCallReturns) {
  Start();
  PeerSends({1, 2, 3});
  uint8_t buffer[64];
  URB urb = usbkit::BulkUrb(In(), buffer, sizeof buffer, kReadFlags);
  auto call = usbkit::Send(top, &urb);
  EXPECT_EQ(call->returned, STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
}

TEST_F(Transfers, FullPacketsContinueTheTransferAndAShortOneEndsIt) {
  Start();
  std::vector<uint8_t> data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = (uint8_t)i;
  PeerSends(data);
  uint8_t buffer[256] = {};
  URB urb = usbkit::BulkUrb(In(), buffer, sizeof buffer, kReadFlags);
  EXPECT_EQ(usbkit::SendAndWait(top, &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 100u) << "a 64-byte packet, then a 36-byte one";
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 100), data);
}

TEST_F(Transfers, ShortPacketWithoutShortTransferOkHaltsAFullSpeedPipeUntilReset) {
  Start();
  PeerSends({7, 7, 7});
  uint8_t buffer[64];
  URB urb = usbkit::BulkUrb(In(), buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(usbkit::SendAndWait(top, &urb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DATA_UNDERRUN);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u) << "the bytes that did arrive";

  PeerSends({8});
  URB next = usbkit::BulkUrb(In(), buffer, sizeof buffer, kReadFlags);
  EXPECT_EQ(usbkit::SendAndWait(top, &next), STATUS_UNSUCCESSFUL) << "the pipe stays halted";
  EXPECT_EQ(next.UrbHeader.Status, USBD_STATUS_DATA_UNDERRUN);

  URB reset = usbkit::PipeUrb(URB_FUNCTION_RESET_PIPE, In());
  EXPECT_EQ(usbkit::SendAndWait(top, &reset), STATUS_SUCCESS);
  URB after = usbkit::BulkUrb(In(), buffer, sizeof buffer, kReadFlags);
  EXPECT_EQ(usbkit::SendAndWait(top, &after), STATUS_SUCCESS);
  EXPECT_EQ(after.UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);
  EXPECT_EQ(buffer[0], 8);
}

TEST_F(Transfers, AShortPacketThatFillsTheRequestEndsItWithoutTheShortTransferFlag) {
  Start();
  PeerSends({4, 5, 6});
  uint8_t buffer[3] = {};
  URB urb = usbkit::BulkUrb(In(), buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(usbkit::SendAndWait(top, &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
  EXPECT_EQ(buffer[2], 6);
}

TEST_F(Transfers, HighSpeedIgnoresTheShortTransferFlag) {
  AdapterConfig config;
  config.speed = sim::usb::Speed::High;
  Start(config);
  PeerSends({1, 2});
  uint8_t buffer[512];
  URB urb = usbkit::BulkUrb(In(), buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(usbkit::SendAndWait(top, &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
}

TEST_F(Transfers, BulkOutThroughAnMdlReachesTheFarEnd) {
  Start();
  auto data = (uint8_t*)ExAllocatePool(NonPagedPool, 150);
  for (int i = 0; i < 150; ++i) data[i] = (uint8_t)(i * 3);
  PMDL mdl = IoAllocateMdl(data, 150, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  URB urb = usbkit::BulkUrb(Out(), nullptr, 150, USBD_TRANSFER_DIRECTION_OUT, mdl);
  EXPECT_EQ(usbkit::SendAndWait(top, &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 150u);
  EXPECT_EQ(adapter->PeerTake(), std::vector<uint8_t>(data, data + 150));
  IoFreeMdl(mdl);
  ExFreePool(data);
}

TEST_F(Transfers, BulkOutWaitsWhileTheDeviceNaksAndCompletesWhenItHasRoom) {
  AdapterConfig config;
  config.pacing = true;       // the UART drains at 9600 baud
  config.transmitFifo = 64;
  Start(config);
  std::vector<uint8_t> data(256, 0x55);
  URB urb = usbkit::BulkUrb(Out(), data.data(), (ULONG)data.size(), 0);
  auto call = usbkit::Send(top, &urb);
  EXPECT_EQ(call->returned, STATUS_PENDING) << "the FIFO takes one packet, then NAKs";
  sim::Tick start = bus.machine.Sched().Now();
  EXPECT_EQ(call->Wait(), STATUS_SUCCESS);
  sim::Tick took = bus.machine.Sched().Now() - start;
  // 192 bytes had to leave the 64-byte FIFO at 960 bytes a second first.
  EXPECT_GE(took, 190 * sim::kTicksPerMs);
  EXPECT_LE(took, 215 * sim::kTicksPerMs);
}

TEST_F(Transfers, AbortPipeCancelsEveryPendingTransferOnIt) {
  Start();
  uint8_t a[64], b[64];
  URB first = usbkit::BulkUrb(In(), a, sizeof a, kReadFlags);
  URB second = usbkit::BulkUrb(In(), b, sizeof b, kReadFlags);
  auto c1 = usbkit::Send(top, &first);
  auto c2 = usbkit::Send(top, &second);
  ASSERT_EQ(c1->returned, STATUS_PENDING);
  ASSERT_EQ(c2->returned, STATUS_PENDING);
  URB abort = usbkit::PipeUrb(URB_FUNCTION_ABORT_PIPE, In());
  EXPECT_EQ(usbkit::SendAndWait(top, &abort), STATUS_SUCCESS);
  EXPECT_TRUE(c1->Done() && c2->Done()) << "both ended before the abort completed";
  EXPECT_EQ(c1->Wait(), STATUS_CANCELLED);
  EXPECT_EQ(c2->Wait(), STATUS_CANCELLED);
  EXPECT_EQ(first.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(second.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(bus.controller->PendingTransfers(port), 0u);
}

TEST_F(Transfers, CancelledTransferReportsTheBytesMovedSoFar) {
  Start();
  uint8_t buffer[256];
  URB urb = usbkit::BulkUrb(In(), buffer, sizeof buffer, kReadFlags);
  auto call = usbkit::Send(top, &urb);
  ASSERT_EQ(call->returned, STATUS_PENDING);
  PeerSends(std::vector<uint8_t>(64, 0xAB));  // one full packet: the transfer wants more
  bus.machine.Sleep(sim::kTicksPerMs);
  ASSERT_FALSE(call->Done());
  EXPECT_TRUE(call->Cancel());
  EXPECT_EQ(call->Wait(), STATUS_CANCELLED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
}

TEST_F(Transfers, CompletionFromTheControllerRunsAtDispatchLevelOnItsThread) {
  Start();
  struct Seen {
    KIRQL irql = PASSIVE_LEVEL;
    std::string thread;
  } seen;
  uint8_t buffer[64];
  URB urb = usbkit::BulkUrb(In(), buffer, sizeof buffer, kReadFlags);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &urb;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  static Seen* seenPtr;
  static KEVENT* donePtr;
  seenPtr = &seen;
  donePtr = &done;
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
        seenPtr->irql = KeGetCurrentIrql();
        seenPtr->thread = sim::CurrentThread()->name;
        IoFreeIrp(irp);
        KeSetEvent(donePtr, 0, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      nullptr, TRUE, TRUE, TRUE);
  ASSERT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
  PeerSends({1});
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
  EXPECT_EQ(seen.thread, "usb controller");
}

TEST_F(Transfers, InterruptPipeCarriesModemStatusBytes) {
  Start();
  uint8_t status = 0xFF;
  URB urb = usbkit::BulkUrb(Status(), &status, 1, kReadFlags);
  EXPECT_EQ(usbkit::SendAndWait(top, &urb), STATUS_SUCCESS) << "a configured adapter reports its lines once";
  EXPECT_EQ(status, 0x00);
  auto call = usbkit::Send(top, &urb);
  ASSERT_EQ(call->returned, STATUS_PENDING) << "nothing changed since";
  adapter->PeerSetLines(sim::usb::kLineCts | sim::usb::kLineDcd);
  EXPECT_EQ(call->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);
  EXPECT_EQ(status, 0x05);
}

TEST_F(Transfers, IsochronousInCompletesAfterItsFramesWithPacketStatuses) {
  AdapterConfig config;
  config.controlAndIsochronous = true;
  Start(config);
  ASSERT_EQ(selected.pipes.size(), 5u);
  USBD_PIPE_INFORMATION iso = selected.pipes[4];
  ASSERT_EQ(iso.PipeType, UsbdPipeTypeIsochronous);
  ASSERT_EQ(selected.pipes[3].PipeType, UsbdPipeTypeControl);
  const ULONG packets = 4;
  std::vector<uint8_t> storage(GET_ISO_URB_SIZE(packets));
  auto urb = (PURB)storage.data();
  urb->UrbHeader.Length = (USHORT)storage.size();
  urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
  auto& t = urb->UrbIsochronousTransfer;
  std::vector<uint8_t> buffer(packets * iso.MaximumPacketSize);
  t.PipeHandle = iso.PipeHandle;
  t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
  t.TransferBuffer = buffer.data();
  t.TransferBufferLength = (ULONG)buffer.size();
  t.NumberOfPackets = packets;
  for (ULONG i = 0; i < packets; ++i) t.IsoPacket[i].Offset = i * iso.MaximumPacketSize;
  ULONG now = bus.controller->FrameNumber();
  auto call = usbkit::Send(top, urb);
  EXPECT_EQ(call->returned, STATUS_PENDING);
  EXPECT_EQ(call->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(t.StartFrame, now + 1) << "as soon as possible: the next frame";
  EXPECT_EQ(bus.controller->FrameNumber(), t.StartFrame + packets) << "completes when its last frame has passed";
  EXPECT_EQ(t.ErrorCount, 0u);
  for (ULONG i = 0; i < packets; ++i) EXPECT_EQ(t.IsoPacket[i].Status, USBD_STATUS_SUCCESS);

  EXPECT_EQ(t.TransferBufferLength, 0u) << "the device sent empty packets";
  t.TransferBufferLength = (ULONG)buffer.size();
  t.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
  t.StartFrame = bus.controller->FrameNumber() + 5000;
  EXPECT_EQ(usbkit::SendAndWait(top, urb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_BAD_START_FRAME);
}

}  // namespace

// Timed mode: the wire's frame arithmetic on the kernel clock. Full speed
// carries at most 19 bulk packets of 64 bytes per 1 ms frame, high speed 13
// of 512 bytes per 125 us microframe; a transfer posted once the controller
// has begun a (micro)frame waits for the next, except one a completion routine
// posts as the controller completes the last one's transfers; interrupt
// endpoints are polled at their bInterval.
#include <gtest/gtest.h>

#include "sim/usb/bus.h"
#include "tests/usb/usbkit.h"

namespace {

using sim::kTicksPerMs;
using sim::Tick;
using sim::usb::AdapterConfig;
using sim::usb::kFrameTicks;
using sim::usb::kMicroframeTicks;
using sim::usb::SerialAdapter;

class Timed : public ::testing::Test {
 protected:
  Timed() : bus(sim::usb::ControllerOptions{.timed = true}) {}

  usbkit::Selected PlugScripted(sim::usb::Speed speed, std::shared_ptr<SerialAdapter>* out = nullptr) {
    AdapterConfig config;
    config.speed = speed;
    config.transmitFifo = 1 << 20;
    config.receiveFifo = 1 << 20;
    auto adapter = std::make_shared<SerialAdapter>(config);
    adapter->WireScript();
    port = bus.Plug(adapter);
    if (out) *out = adapter;
    return usbkit::SelectFirstConfiguration(bus.Top(port), 1 << 20);
  }
  Tick Now() { return bus.machine.Sched().Now(); }
  // Sleeps to the next multiple of `unit` (plus `offset`).
  void AlignTo(Tick unit, Tick offset = 0) { bus.machine.Sleep(unit - Now() % unit + offset); }
  // Writes `bytes` on the OUT pipe and returns how long it took.
  Tick TimeWrite(const usbkit::Selected& s, size_t bytes) {
    std::vector<uint8_t> data(bytes, 0x5A);
    URB urb = usbkit::BulkUrb(s.pipes[0].PipeHandle, data.data(), (ULONG)bytes, 0);
    Tick start = Now();
    EXPECT_EQ(usbkit::SendAndWait(bus.Top(port), &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, bytes);
    return Now() - start;
  }

  usbkit::Bus bus;
  int port = 0;
};

TEST_F(Timed, FullSpeedFrameCarriesNineteenBulkPackets) {
  usbkit::Selected s = PlugScripted(sim::usb::Speed::Full);
  AlignTo(kFrameTicks);
  EXPECT_EQ(TimeWrite(s, 19 * 64), 2 * kFrameTicks) << "posted as frame k began: frame k+1 carries it, done at its end";
  AlignTo(kFrameTicks);
  EXPECT_EQ(TimeWrite(s, 20 * 64), 3 * kFrameTicks) << "the twentieth packet needs another frame";
  AlignTo(kFrameTicks, kFrameTicks / 2);
  EXPECT_EQ(TimeWrite(s, 64), kFrameTicks + kFrameTicks / 2) << "posted mid-frame: waits for the next frame";
}

TEST_F(Timed, FullSpeedSixtyFourKilobytesTakeFiftyFourFrames) {
  usbkit::Selected s = PlugScripted(sim::usb::Speed::Full);
  AlignTo(kFrameTicks);
  // 1024 packets at 19 a frame.
  EXPECT_EQ(TimeWrite(s, 65536), (1 + 54) * kFrameTicks);
}

TEST_F(Timed, HighSpeedMicroframeCarriesThirteenBulkPackets) {
  usbkit::Selected s = PlugScripted(sim::usb::Speed::High);
  ASSERT_EQ(s.pipes[0].MaximumPacketSize, 512);
  AlignTo(kMicroframeTicks);
  EXPECT_EQ(TimeWrite(s, 13 * 512), 2 * kMicroframeTicks);
  AlignTo(kMicroframeTicks);
  // 128 packets at 13 a microframe.
  EXPECT_EQ(TimeWrite(s, 65536), (1 + 10) * kMicroframeTicks);
}

TEST_F(Timed, BulkEndpointsShareTheFrameRoundRobin) {
  usbkit::Selected a = PlugScripted(sim::usb::Speed::Full);
  int portA = port;
  usbkit::Selected b = PlugScripted(sim::usb::Speed::Full);
  int portB = port;
  std::vector<uint8_t> data(19 * 64, 1);
  URB ua = usbkit::BulkUrb(a.pipes[0].PipeHandle, data.data(), (ULONG)data.size(), 0);
  URB ub = usbkit::BulkUrb(b.pipes[0].PipeHandle, data.data(), (ULONG)data.size(), 0);
  AlignTo(kFrameTicks);
  Tick start = Now();
  auto ca = usbkit::Send(bus.Top(portA), &ua);
  auto cb = usbkit::Send(bus.Top(portB), &ub);
  EXPECT_EQ(ca->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(cb->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(Now() - start, 3 * kFrameTicks) << "38 packets need two frames; neither finishes in the first";
}

// A client that keeps one read of one packet outstanding on the bulk IN pipe
// and posts the next from the completion of the last, as a receive engine
// does.
struct ReadChain {
  PDEVICE_OBJECT top;
  USBD_PIPE_HANDLE pipe;
  int left;
  PIRP irp = nullptr;
  URB urb{};
  uint8_t packet[512];
  KEVENT done;

  void Post() {
    urb = usbkit::BulkUrb(pipe, packet, sizeof packet, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    IoReuseIrp(irp, STATUS_SUCCESS);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(irp, &ReadChain::Completed, this, TRUE, TRUE, TRUE);
    IoCallDriver(top, irp);
  }
  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* chain = (ReadChain*)context;
    bool good = NT_SUCCESS(irp->IoStatus.Status) && chain->urb.UrbBulkOrInterruptTransfer.TransferBufferLength > 0;
    if (good && --chain->left > 0) chain->Post();
    else KeSetEvent(&chain->done, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

TEST_F(Timed, AReadPostedFromTheLastOnesCompletionTakesTheNextMicroframe) {
  std::shared_ptr<SerialAdapter> adapter;
  usbkit::Selected s = PlugScripted(sim::usb::Speed::High, &adapter);
  std::vector<uint8_t> waiting(64 * 1024, 0x33);
  adapter->PeerSend(waiting);
  ReadChain chain{.top = bus.Top(port), .pipe = s.pipes[1].PipeHandle, .left = 64};
  chain.irp = IoAllocateIrp(chain.top->StackSize, FALSE);
  KeInitializeEvent(&chain.done, NotificationEvent, FALSE);
  AlignTo(kMicroframeTicks, kMicroframeTicks / 2);
  Tick start = Now();
  chain.Post();
  KeWaitForSingleObject(&chain.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(chain.left, 0) << "a read failed or came back empty";
  // The first waits for the next microframe; each later one uses the
  // microframe its predecessor completed at, one packet per microframe.
  EXPECT_EQ(Now() - start, 65 * kMicroframeTicks - kMicroframeTicks / 2);
  IoFreeIrp(chain.irp);
}

TEST_F(Timed, InterruptEndpointIsPolledAtItsInterval) {
  std::shared_ptr<SerialAdapter> adapter;
  usbkit::Selected s = PlugScripted(sim::usb::Speed::Full, &adapter);
  UCHAR status = 0;
  URB urb = usbkit::BulkUrb(s.pipes[2].PipeHandle, &status, 1, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  ASSERT_EQ(usbkit::SendAndWait(bus.Top(port), &urb), STATUS_SUCCESS);  // the report at configuration
  auto call = usbkit::Send(bus.Top(port), &urb);
  ASSERT_EQ(call->returned, STATUS_PENDING);
  AlignTo(kFrameTicks, 3 * kMicroframeTicks);
  Tick changed = Now();
  adapter->PeerSetLines(sim::usb::kLineCts);
  EXPECT_EQ(call->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(status, sim::usb::kLineCts);
  EXPECT_EQ(Now() - changed, 2 * kFrameTicks - 3 * kMicroframeTicks) << "polled in the next frame, completed at its end";
}

TEST_F(Timed, HighSpeedInterruptIntervalCountsMicroframes) {
  std::shared_ptr<SerialAdapter> adapter;
  usbkit::Selected s = PlugScripted(sim::usb::Speed::High, &adapter);
  ASSERT_EQ(s.pipes[2].Interval, 4) << "2^(4-1) microframes: 1 ms";
  UCHAR status = 0;
  URB urb = usbkit::BulkUrb(s.pipes[2].PipeHandle, &status, 1, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  ASSERT_EQ(usbkit::SendAndWait(bus.Top(port), &urb), STATUS_SUCCESS);
  auto call = usbkit::Send(bus.Top(port), &urb);
  AlignTo(8 * kMicroframeTicks, kMicroframeTicks);
  Tick changed = Now();
  adapter->PeerSetLines(sim::usb::kLineDsr);
  EXPECT_EQ(call->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(Now() - changed, 8 * kMicroframeTicks) << "next poll 7 microframes on, completed one later";
}

TEST_F(Timed, ControlTransferTakesAFrame) {
  usbkit::Selected s = PlugScripted(sim::usb::Speed::Full);
  uint8_t message[2] = {0x01, 0x03};
  URB urb = usbkit::VendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 0x0B, 0, 0, message, 2);
  AlignTo(kFrameTicks, kMicroframeTicks);
  Tick start = Now();
  EXPECT_EQ(usbkit::SendAndWait(bus.Top(port), &urb), STATUS_SUCCESS);
  EXPECT_EQ(Now() - start, 2 * kFrameTicks - kMicroframeTicks);
}

}  // namespace

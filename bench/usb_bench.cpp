// The simulated USB bus alone: bulk transfers through a PDO to a device that
// always has data and always has room, in instant mode. This is the ceiling
// against which the drivers' own overhead is measured.
#include <benchmark/benchmark.h>

#include "bench/benchdriver.h"
#include "bench/usbclient.h"
#include "sim/usb/controller.h"

namespace {

using namespace sim::usb;

// A high-speed device with a bulk OUT (0x01) and a bulk IN (0x82) endpoint of
// 512-byte packets that never NAK. It sends its data in messages of `chunk`
// bytes (the last packet of each short), as a device answering reads of that
// size does.
class StreamDevice : public DeviceModel {
 public:
  StreamDevice() {
    set_.device = DeviceDescriptor(0x0200, 0xFF, 64, 0x5E1A, 0x0B00, 0x0100, 0, 0, 0);
    Bytes config = ConfigurationHeader(1, 1, 0, USB_CONFIG_BUS_POWERED, 50);
    Append(config, InterfaceDescriptor(0, 0, 2, 0xFF, 0, 0));
    Append(config, EndpointDescriptor(0x01, USB_ENDPOINT_TYPE_BULK, 512, 0));
    Append(config, EndpointDescriptor(0x82, USB_ENDPOINT_TYPE_BULK, 512, 0));
    set_.configurations.push_back(config);
  }
  Speed DeviceSpeed() const override { return Speed::High; }
  const DescriptorSet& Descriptors() const override { return set_; }
  PacketResult Control(const SetupPacket&, std::span<uint8_t>) override { return {Handshake::Stall, 0}; }
  PacketResult In(UCHAR, std::span<uint8_t> packet) override {
    if (left == 0) left = chunk;
    size_t n = std::min(packet.size(), left);
    left -= n;
    return {Handshake::Ack, n};
  }
  Handshake Out(UCHAR, std::span<const uint8_t>) override { return Handshake::Ack; }

  size_t chunk = 512;
  size_t left = 0;

 private:
  DescriptorSet set_;
};


void BulkTransfers(benchmark::State& state, bool in) {
  sim::Machine machine;
  auto controller = std::make_unique<HostController>();
  auto device = std::make_shared<StreamDevice>();
  device->chunk = (size_t)state.range(0);
  int port = controller->Plug(device);
  PDEVICE_OBJECT pdo = controller->Pdo(port);
  PDRIVER_OBJECT client = bench::LoadDriver(machine, u"BenchUsbClient");
  ULONG length = (ULONG)state.range(0);
  std::vector<uint8_t> buffer(length);
  bench::AsDriver(client, [&] {
    std::vector<USBD_PIPE_HANDLE> pipes = bench::SelectFirstConfiguration(pdo, *controller, port);
    for (auto _ : state) {
      URB urb{};
      UsbBuildInterruptOrBulkTransferRequest(&urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                             in ? pipes[1] : pipes[0], buffer.data(), nullptr, length,
                                             in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, nullptr);
      NTSTATUS status = bench::SubmitUrb(pdo, &urb);
      if (status != STATUS_SUCCESS) state.SkipWithError("transfer failed");
    }
  });
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * (int64_t)length);
  controller.reset();
}

}  // namespace

// URBs per second (items) and bytes per second for bulk IN transfers of 64
// bytes to 64 KB through the bus's PDO, each completing before the call
// returns (instant mode, a device that always has data): URB checks, the
// packet loop at 512 bytes a packet, completion and the verifier's IRP checks.
static void BM_UsbBulkIn(benchmark::State& state) { BulkTransfers(state, true); }
BENCHMARK(BM_UsbBulkIn)->RangeMultiplier(8)->Range(64, 65536);

// The same for bulk OUT transfers to a device that always has room.
static void BM_UsbBulkOut(benchmark::State& state) { BulkTransfers(state, false); }
BENCHMARK(BM_UsbBulkOut)->RangeMultiplier(8)->Range(64, 65536);

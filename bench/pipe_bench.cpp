// merrow against the bus alone, in one run: an application writing to and
// reading from pipe files (CreateFile, WriteFile, ReadFile through the I/O
// manager, merrow's dispatch, its segments as URBs to the hub's PDO), and a
// driver sending bulk URBs straight to the same kind of device's PDO as
// usb_bench does. Instant mode, a device that never NAKs, the verifier on in
// both. merrow runs with its default segment size (one packet, 512 bytes at
// high speed) and, to show its own cost apart from the cutting, with one
// segment per request.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "bench/benchdriver.h"
#include "bench/usbclient.h"
#include "common/pipeif.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/registry.h"
#include "sim/usb/controller.h"
#include "sim/win32/win32.h"

extern "C" NTSTATUS NTAPI MerrowDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

using namespace sim::usb;

constexpr USHORT kVendor = 0x5E1A, kProduct = 0x0B01;

// A high-speed device with a bulk OUT (0x01) and a bulk IN (0x82) endpoint of
// 512-byte packets that never NAK; it sends its data in messages of `chunk`
// bytes, as a device answering requests of that size does.
class StreamDevice : public DeviceModel {
 public:
  StreamDevice() {
    set_.device = DeviceDescriptor(0x0200, 0xFF, 64, kVendor, kProduct, 0x0100, 0, 0, 3);
    Bytes config = ConfigurationHeader(1, 1, 0, USB_CONFIG_BUS_POWERED, 50);
    Append(config, InterfaceDescriptor(0, 0, 2, 0xFF, 0, 0));
    Append(config, EndpointDescriptor(0x01, USB_ENDPOINT_TYPE_BULK, 512, 0));
    Append(config, EndpointDescriptor(0x82, USB_ENDPOINT_TYPE_BULK, 512, 0));
    set_.configurations.push_back(config);
    set_.strings[0] = LanguageDescriptor({0x0409});
    set_.strings[3] = StringDescriptor(u"BENCH1");
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

std::u16string HardwareKey() {
  return u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_5E1A&PID_0B01\\BENCH1\\Device Parameters";
}

// A machine with merrow bound to the stream device, and the device plugged
// in. `segment` 0 keeps the defaults; otherwise it is every pipe's segment
// size and the maximum transfer size.
struct PipeMachine {
  explicit PipeMachine(ULONG segment, size_t chunk) {
    machine.Pnp().AddService({u"merrow", MerrowDriverEntry});
    machine.Pnp().Bind({u"USB\\VID_5E1A&PID_0B01", u"merrow"});
    if (segment) {
      machine.Reg().CreateKey(HardwareKey());
      for (const char16_t* name : {u"MaximumTransferSize", u"EP1_SegmentSize", u"EP2_SegmentSize"})
        machine.Reg().SetValue(HardwareKey(), name, sim::RegistryValue::Dword(segment));
    }
    controller = std::make_unique<HostController>();
    device = std::make_shared<StreamDevice>();
    device->chunk = chunk;
    port = controller->Plug(device);
    machine.Pnp().WaitIdle();
    std::vector<std::u16string> links = machine.Notify().EnabledInterfaces(GUID_PIPE_DRIVER_INTERFACE);
    if (links.empty()) return;
    out = win32::CreateFileW(links[0] + u"\\PIPE00", GENERIC_WRITE, 0, win32::OPEN_EXISTING, 0);
    in = win32::CreateFileW(links[0] + u"\\PIPE01", GENERIC_READ, 0, win32::OPEN_EXISTING, 0);
  }
  ~PipeMachine() {
    if (out != win32::INVALID_HANDLE_VALUE) win32::CloseHandle(out);
    if (in != win32::INVALID_HANDLE_VALUE) win32::CloseHandle(in);
    controller->Unplug(port);
    machine.Pnp().WaitIdle();
    controller.reset();
  }
  bool Ready() const { return out != win32::INVALID_HANDLE_VALUE && in != win32::INVALID_HANDLE_VALUE; }

  sim::Machine machine;
  std::unique_ptr<HostController> controller;
  std::shared_ptr<StreamDevice> device;
  int port = 0;
  HANDLE out = win32::INVALID_HANDLE_VALUE, in = win32::INVALID_HANDLE_VALUE;
};

void PipeTransfers(benchmark::State& state, bool read, ULONG segment) {
  DWORD length = (DWORD)state.range(0);
  PipeMachine rig(segment, length);
  if (!rig.Ready()) {
    state.SkipWithError("merrow did not start");
    return;
  }
  std::vector<uint8_t> buffer(length);
  for (auto _ : state) {
    DWORD done = 0;
    win32::BOOL ok = read ? win32::ReadFile(rig.in, buffer.data(), length, &done, nullptr)
                   : win32::WriteFile(rig.out, buffer.data(), length, &done, nullptr);
    if (!ok || done != length) state.SkipWithError("transfer failed");
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * (int64_t)length);
}


// Each request as URBs of at most `urbLength` bytes straight to the PDO
// (`urbLength` = the request's length: one URB per request).
void BusTransfers(benchmark::State& state, bool read, bool perPacket) {
  sim::Machine machine;
  auto controller = std::make_unique<HostController>();
  auto device = std::make_shared<StreamDevice>();
  ULONG length = (ULONG)state.range(0);
  ULONG urbLength = perPacket ? std::min<ULONG>(length, 512) : length;
  device->chunk = length;
  int port = controller->Plug(device);
  PDEVICE_OBJECT pdo = controller->Pdo(port);
  PDRIVER_OBJECT client = bench::LoadDriver(machine, u"BenchPipeClient");
  std::vector<uint8_t> buffer(length);
  bench::AsDriver(client, [&] {
    std::vector<USBD_PIPE_HANDLE> pipes = bench::SelectFirstConfiguration(pdo, *controller, port);
    for (auto _ : state) {
      for (ULONG at = 0; at < length; at += urbLength) {
        URB urb{};
        UsbBuildInterruptOrBulkTransferRequest(&urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                               read ? pipes[1] : pipes[0], buffer.data() + at, nullptr,
                                               std::min(urbLength, length - at),
                                               read ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, nullptr);
        if (bench::SubmitUrb(pdo, &urb) != STATUS_SUCCESS) state.SkipWithError("transfer failed");
      }
    }
  });
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * (int64_t)length);
  controller.reset();
}

}  // namespace

// Application writes and reads per second (items) and bytes per second on
// pipe files through merrow with the default segment size, which cuts a
// request into 512-byte segments: the I/O manager's request with its MDL,
// merrow's dispatch and context, and one URB round trip per segment.
static void BM_MerrowWrite(benchmark::State& state) { PipeTransfers(state, false, 0); }
BENCHMARK(BM_MerrowWrite)->Arg(64)->Arg(4096)->Arg(65536);
static void BM_MerrowRead(benchmark::State& state) { PipeTransfers(state, true, 0); }
BENCHMARK(BM_MerrowRead)->Arg(64)->Arg(4096)->Arg(65536);

// The same with the segment size and maximum transfer size at 64 KB, so each
// request is one URB as on the bus alone: merrow's own cost per request.
static void BM_MerrowWriteOneSegment(benchmark::State& state) { PipeTransfers(state, false, 65536); }
BENCHMARK(BM_MerrowWriteOneSegment)->Arg(64)->Arg(4096)->Arg(65536);
static void BM_MerrowReadOneSegment(benchmark::State& state) { PipeTransfers(state, true, 65536); }
BENCHMARK(BM_MerrowReadOneSegment)->Arg(64)->Arg(4096)->Arg(65536);

// The bus alone, one URB per request, from a driver straight to the PDO.
static void BM_BusWrite(benchmark::State& state) { BusTransfers(state, false, false); }
BENCHMARK(BM_BusWrite)->Arg(64)->Arg(4096)->Arg(65536);
static void BM_BusRead(benchmark::State& state) { BusTransfers(state, true, false); }
BENCHMARK(BM_BusRead)->Arg(64)->Arg(4096)->Arg(65536);

// The bus alone cut as merrow cuts by default: one 512-byte URB per packet.
static void BM_BusWritePerPacket(benchmark::State& state) { BusTransfers(state, false, true); }
BENCHMARK(BM_BusWritePerPacket)->Arg(64)->Arg(4096)->Arg(65536);
static void BM_BusReadPerPacket(benchmark::State& state) { BusTransfers(state, true, true); }
BENCHMARK(BM_BusReadPerPacket)->Arg(64)->Arg(4096)->Arg(65536);

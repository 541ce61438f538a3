// Hostile descriptors: the input becomes the configuration descriptor (and a
// few choices about the device descriptor and strings) of an adapter that is
// plugged in, enumerated by the hub and started by merrow. When the start
// succeeds, every control code runs on a device handle, then on each pipe the
// pipe-level codes and one read and one write (cancelled if they pend).
//
// Input: byte 0 the device choices (see DeviceChoices), byte 1 the read and
// write length in units of 4 bytes, the rest the configuration block exactly
// as the device sends it (whatever its wTotalLength says).
#include <cstring>

#include "common/pipeif.h"
#include "fuzz/fuzz_kit.h"
#include "sim/usb/descriptors.h"

using namespace fuzzkit;
using sim::usb::Bytes;

namespace {

// An adapter whose descriptors are the input's; its endpoints, control
// messages and loopback are the default adapter's.
class FuzzedAdapter : public sim::usb::SerialAdapter {
 public:
  FuzzedAdapter(sim::usb::AdapterConfig config, sim::usb::DescriptorSet set)
      : SerialAdapter(std::move(config)), set_(std::move(set)) {}
  const sim::usb::DescriptorSet& Descriptors() const override { return set_; }

 private:
  sim::usb::DescriptorSet set_;
};

// Byte 0: bits 0-2 the default pipe's packet size, bit 3 high speed, bit 4 no
// strings at all, bit 5 no serial number, bit 6 no configuration counted,
// bit 7 a device descriptor cut to its first 8 bytes.
sim::usb::DescriptorSet DeviceChoices(uint8_t choices, Bytes configuration) {
  static const uint8_t packets[8] = {64, 8, 16, 32, 0, 7, 255, 64};
  bool serial = !(choices & 0x20);
  sim::usb::DescriptorSet set;
  set.device = sim::usb::DeviceDescriptor((choices & 0x08) ? 0x0200 : 0x0110, 0xFF, packets[choices & 7], kVendor,
                                          kProduct, 0x0100, 1, 2, serial ? 3 : 0, (choices & 0x40) ? 0 : 1);
  if (choices & 0x80) set.device.resize(8);
  set.configurations.push_back(std::move(configuration));
  if (!(choices & 0x10)) {
    set.strings[0] = sim::usb::LanguageDescriptor({0x0409});
    set.strings[1] = sim::usb::StringDescriptor(u"Fuzzed Devices");
    set.strings[2] = sim::usb::StringDescriptor(u"Fuzzed Adapter");
    if (serial) set.strings[3] = sim::usb::StringDescriptor(u"FUZZ0001");
  }
  return set;
}

// IOCTL_PIPE_GET_CONFIG_DESCRIPTOR may return only bytes the device sent:
// the same bytes, no more of them, with wTotalLength at most what came.
void CheckConfigDescriptor(const Request& request, const Bytes& sent) {
  DWORD n = request.Transferred();
  const std::vector<uint8_t>& got = request.Output();
  if (n > sent.size())
    Finding("the configuration descriptor returned has %u bytes; the device sent %zu", (unsigned)n, sent.size());
  if (n < sizeof(USB_CONFIGURATION_DESCRIPTOR)) Finding("a configuration descriptor of %u bytes was returned", (unsigned)n);
  for (DWORD i = 0; i < n; ++i)
    if (i != 2 && i != 3 && got[i] != sent[i])
      Finding("byte %u of the configuration descriptor returned is 0x%02X; the device sent 0x%02X", (unsigned)i,
              got[i], sent[i]);
  if ((DWORD)(got[2] | got[3] << 8) != n) Finding("the descriptor returned says wTotalLength %u but has %u bytes", got[2] | got[3] << 8, (unsigned)n);
}

NTSTATUS Control(HANDLE file, uint32_t code, std::vector<uint8_t> in, uint32_t outLength, Request* keep = nullptr) {
  Request local(file);
  Request& request = keep ? *keep : local;
  request.Control(code, std::move(in), outLength);
  return request.Finish(false);
}

void ExerciseDevice(HANDLE device, const Bytes& sent) {
  Request descriptor(device);
  if (NT_SUCCESS(Control(device, IOCTL_PIPE_GET_CONFIG_DESCRIPTOR, {}, 0xFFFF, &descriptor)))
    CheckConfigDescriptor(descriptor, sent);
  Control(device, IOCTL_PIPE_ENSURE_PORT_ENABLED, {}, 0);
  Control(device, IOCTL_PIPE_VENDOR_COMMAND, {sim::usb::kMsgModemControl, 0x03}, 0);
  Control(device, IOCTL_PIPE_CONTROL_TRANSFER, {0xC0, 0x01, 0, 0, 0, 0, 8, 0}, 64);
  Control(device, IOCTL_PIPE_CONTROL_TRANSFER, {0x41, 0x02, 1, 0, 0, 0, 2, 0, 0x55, 0xAA}, 0);
  // The pipe-level codes on a device handle are refused; they must be refused cleanly.
  for (uint32_t code : ControlCodes())
    if (code != IOCTL_PIPE_CYCLE_PORT && code != IOCTL_PIPE_RESET_PORT) Control(device, code, {}, 64);
}

std::u16string PipeName(unsigned index) {
  char text[16];
  std::snprintf(text, sizeof text, "\\PIPE%02X", index);
  return std::u16string(text, text + std::strlen(text));
}

// The pipe-level codes, then a read and a write that are cancelled if the
// device does not answer them.
void ExercisePipe(HANDLE pipe, uint32_t length) {
  Control(pipe, IOCTL_PIPE_GET_PIPE_INFO, {}, 64);
  Control(pipe, IOCTL_PIPE_GET_MAX_PACKET_SIZE, {}, 4);
  Control(pipe, IOCTL_PIPE_START_STATISTICS, {}, 0);
  Request read(pipe), write(pipe);
  read.Read(length);
  write.Write(std::vector<uint8_t>(length, 0x5A));
  read.Finish(true);
  write.Finish(true);
  Control(pipe, IOCTL_PIPE_GET_STATISTICS, {}, 8);
  Control(pipe, IOCTL_PIPE_STOP_STATISTICS, {}, 0);
  Control(pipe, IOCTL_PIPE_RESET_PIPE, {}, 0);
  Control(pipe, IOCTL_PIPE_ABORT_PIPE, {}, 0);
}

void Exercise(FuzzMachine& machine, const Bytes& sent, uint32_t length) {
  HANDLE device = machine.Open(u"");
  if (device == win32::INVALID_HANDLE_VALUE) Finding("no device handle on a started device");
  ExerciseDevice(device, sent);
  // A table holds at most 255 pipes (bNumEndpoints); the first refusal ends the walk.
  for (unsigned i = 0; i < 256; ++i) {
    HANDLE pipe = machine.Open(PipeName(i));
    if (pipe == win32::INVALID_HANDLE_VALUE) break;
    ExercisePipe(pipe, length);
    win32::CloseHandle(pipe);
  }
  Control(device, IOCTL_PIPE_RESET_PORT, {}, 0);
  PDEVICE_OBJECT pdo = machine.Usb().Pdo(machine.Port());
  NTSTATUS cycled = Control(device, IOCTL_PIPE_CYCLE_PORT, {}, 0);
  win32::CloseHandle(device);
  if (NT_SUCCESS(cycled)) machine.WaitForCycle(pdo);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  uint8_t choices = input.Byte();
  uint32_t length = input.Byte() * 4u;
  Bytes configuration = input.Bytes(input.Left());
  sim::usb::AdapterConfig adapter;
  adapter.speed = (choices & 0x08) ? sim::usb::Speed::High : sim::usb::Speed::Full;
  auto model = std::make_shared<FuzzedAdapter>(adapter, DeviceChoices(choices, configuration));
  model->WireLoopback();
  FuzzMachine& machine = FuzzMachine::Get();
  if (machine.Plug(model)) Exercise(machine, configuration, length);
  machine.Unplug();
  return 0;
}

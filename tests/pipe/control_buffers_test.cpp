// Every control code driven with input and output buffers of every length
// from 0 to beyond its record, on a pipe handle and on a device handle: the
// documented status, information never beyond the output buffer, and never a
// crash or a verifier stop. Codes that re-enumerate or reset the port are
// driven in control_codes_test.cpp.
#include <algorithm>

#include "tests/pipe/io_kit.h"

namespace pipetest {
namespace {

struct Outcome {
  NTSTATUS status;
  DWORD information;
};

// What merrow answers to `code` with `in` and `out` bytes of buffer; `pipe`
// says whether the handle is bound to the bulk IN pipe (64-byte packets).
// `configLength` is the configuration descriptor's wTotalLength.
Outcome Expected(ULONG code, DWORD in, DWORD out, bool pipe, DWORD configLength) {
  switch (code) {
    case IOCTL_PIPE_GET_CONFIG_DESCRIPTOR:
      return out < configLength ? Outcome{STATUS_BUFFER_TOO_SMALL, 0} : Outcome{STATUS_SUCCESS, configLength};
    case IOCTL_PIPE_ENSURE_PORT_ENABLED: return {STATUS_SUCCESS, 0};
    case IOCTL_PIPE_RESET_PIPE:
    case IOCTL_PIPE_ABORT_PIPE: return {pipe ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER, 0};
    case IOCTL_PIPE_GET_PIPE_INFO:
      if (!pipe) return {STATUS_INVALID_HANDLE, 0};
      return out < sizeof(PIPE_INFO_OUTPUT) ? Outcome{STATUS_BUFFER_TOO_SMALL, 0}
                                            : Outcome{STATUS_SUCCESS, sizeof(PIPE_INFO_OUTPUT)};
    case IOCTL_PIPE_START_STATISTICS:
    case IOCTL_PIPE_STOP_STATISTICS: return {pipe ? STATUS_SUCCESS : STATUS_INVALID_HANDLE, 0};
    case IOCTL_PIPE_GET_STATISTICS:
      if (!pipe) return {STATUS_INVALID_HANDLE, 0};
      return out < sizeof(PIPE_STATISTICS) ? Outcome{STATUS_BUFFER_TOO_SMALL, 0}
                                           : Outcome{STATUS_SUCCESS, sizeof(PIPE_STATISTICS)};
    case IOCTL_PIPE_CONTROL_TRANSFER:
      // The input is filled with 0x41: a vendor request to an interface, host
      // to device, whose data stage (0x4141 bytes) never fits the input.
      return {STATUS_INVALID_PARAMETER, 0};
    case IOCTL_PIPE_GET_MAX_PACKET_SIZE:
      if (!pipe || out < 4) return {STATUS_INVALID_PARAMETER, 0};
      return {STATUS_SUCCESS, 4};
    default: return {STATUS_INVALID_PARAMETER, 0};
  }
}

// The record each code reads or writes, so the sweep goes 8 bytes beyond it.
DWORD RecordSize(ULONG code, DWORD configLength) {
  switch (code) {
    case IOCTL_PIPE_GET_CONFIG_DESCRIPTOR: return configLength;
    case IOCTL_PIPE_GET_PIPE_INFO: return sizeof(PIPE_INFO_OUTPUT);
    case IOCTL_PIPE_GET_STATISTICS: return sizeof(PIPE_STATISTICS);
    case IOCTL_PIPE_CONTROL_TRANSFER: return sizeof(PIPE_SETUP_PACKET) + 8;
    case IOCTL_PIPE_GET_MAX_PACKET_SIZE: return 4;
    default: return 0;
  }
}

class ControlBuffers : public PipeTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ControlBuffers, EveryLengthGetsTheDocumentedStatus) {
  bool pipe = GetParam();
  HANDLE handle = rig_.Open(pipe ? u"\\PIPE01" : u"");
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  DWORD configLength = Ext()->ConfigRecord->ConfigurationDescriptor->wTotalLength;
  const ULONG codes[] = {IOCTL_PIPE_GET_CONFIG_DESCRIPTOR, IOCTL_PIPE_ENSURE_PORT_ENABLED, IOCTL_PIPE_RESET_PIPE,
                         IOCTL_PIPE_GET_PIPE_INFO,         IOCTL_PIPE_START_STATISTICS,    IOCTL_PIPE_STOP_STATISTICS,
                         IOCTL_PIPE_GET_STATISTICS,        IOCTL_PIPE_ABORT_PIPE,          IOCTL_PIPE_CONTROL_TRANSFER,
                         IOCTL_PIPE_GET_MAX_PACKET_SIZE,   0x230003 /* METHOD_NEITHER */,  PIPE_CTL_CODE(13),
                         CTL_CODE(0x22, 0, METHOD_BUFFERED, FILE_ANY_ACCESS)};
  for (ULONG code : codes) {
    DWORD limit = RecordSize(code, configLength) + 8;
    for (DWORD in = 0; in <= limit; ++in) {
      for (DWORD out = 0; out <= limit; ++out) {
        std::vector<uint8_t> input(in + 1, 0x41), output(out + 1, 0xEE);
        IoctlResult r = Ioctl(handle, code, input.data(), in, output.data(), out);
        Outcome want = Expected(code, in, out, pipe, configLength);
        ASSERT_EQ(r.status, want.status) << std::hex << "code 0x" << code << std::dec << " in " << in << " out " << out;
        if (NT_SUCCESS(r.status)) {
          ASSERT_EQ(r.returned, want.information);
        }
        ASSERT_LE(r.returned == 0xDEADBEEF ? 0 : r.returned, out);
        ASSERT_EQ(output[out], 0xEE) << "nothing written past the output buffer";
      }
    }
  }
  EXPECT_EQ(Ext()->PendingIoCount, 1);
  CloseHandle(handle);
}

INSTANTIATE_TEST_SUITE_P(Handles, ControlBuffers, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "PipeHandle" : "DeviceHandle"; });

// The vendor command takes any input as its data stage; the adapter accepts
// only its own messages and stalls the rest, whose status comes back as the
// bus gave it.
TEST_F(PipeTest, VendorCommandTakesInputsOfAnyLength) {
  HANDLE device = rig_.Open(u"");
  for (DWORD in = 0; in <= 64; ++in) {
    std::vector<uint8_t> input(in + 1, 0x7F);
    IoctlResult r = Ioctl(device, IOCTL_PIPE_VENDOR_COMMAND, input.data(), in);
    EXPECT_FALSE(NT_SUCCESS(r.status)) << in << " bytes of 0x7F are no message of the adapter";
  }
  std::vector<sim::usb::AdapterMessage> seen = rig_.Adapter()->Messages();
  ASSERT_EQ(seen.size(), 65u);
  for (DWORD in = 0; in <= 64; ++in) EXPECT_EQ(seen[in].bytes, std::vector<uint8_t>(in, 0x7F));
  CloseHandle(device);
}

}  // namespace
}  // namespace pipetest

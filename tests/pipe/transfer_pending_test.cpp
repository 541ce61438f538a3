// Transfers that wait in the bus driver: cancelled by the application,
// aborted or reset through the control codes, cut off by an unplug, and kept
// through an orderly removal that their open pipe vetoes.
#include "sim/kernel/faultrun.h"
#include "tests/pipe/io_kit.h"

namespace pipetest {
namespace {

// An overlapped read on the bulk IN pipe, which the adapter NAKs while it
// has nothing to send.
struct PendingRead {
  explicit PendingRead(HANDLE file, DWORD length = 64) : file(file), buffer(length) {
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    started = !ReadFile(file, buffer.data(), length, nullptr, &overlapped) && GetLastError() == ERROR_IO_PENDING;
  }
  ~PendingRead() { CloseHandle(overlapped.hEvent); }
  bool Done() { return WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0; }
  // Waits for the read; its status and byte count.
  IoResult Finish() {
    DWORD bytes = 0;
    BOOL ok = GetOverlappedResult(file, &overlapped, &bytes, TRUE);
    return {ok ? STATUS_SUCCESS : (NTSTATUS)overlapped.Internal, bytes};
  }

  HANDLE file;
  std::vector<uint8_t> buffer;
  OVERLAPPED overlapped{};
  bool started = false;
};

class PendingTransfers : public PipeTest {
 protected:
  PendingTransfers() { in_ = rig_.Open(u"\\PIPE01", FILE_FLAG_OVERLAPPED); }
  ~PendingTransfers() override {
    if (in_ != INVALID_HANDLE_VALUE) CloseHandle(in_);
  }
  HANDLE in_;
};

TEST_F(PendingTransfers, CancelledReadEndsWithStatusCancelledAndThePipeWorksOn) {
  PendingRead read(in_);
  ASSERT_TRUE(read.started);
  EXPECT_FALSE(read.Done());
  EXPECT_TRUE(CancelIo(in_));
  IoResult r = read.Finish();
  EXPECT_EQ(r.status, STATUS_CANCELLED);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(Ext()->PendingIoCount, 1) << "the cancelled read left the driver";

  PendingRead next(in_);
  rig_.Adapter()->WireLoopback();
  HANDLE out = rig_.Open(u"\\PIPE00");
  uint8_t byte = 0x5A;
  WritePipe(out, &byte, 1);
  IoResult r2 = next.Finish();
  EXPECT_EQ(r2.status, STATUS_SUCCESS);
  EXPECT_EQ(r2.bytes, 1u);
  EXPECT_EQ(next.buffer[0], 0x5A);
  CloseHandle(out);
}

TEST_F(PendingTransfers, AbortPipeEndsEveryTransferPendingOnIt) {
  PendingRead a(in_), b(in_);
  ASSERT_TRUE(a.started && b.started);
  EXPECT_EQ(Ext()->PendingIoCount, 3);
  HANDLE status = rig_.Open(u"\\PIPE02", FILE_FLAG_OVERLAPPED);
  uint8_t report[8];
  ReadPipe(status, report, sizeof report);  // the report after configuration
  PendingRead other(status, 8);

  EXPECT_EQ(Ioctl(in_, IOCTL_PIPE_ABORT_PIPE).status, STATUS_SUCCESS);
  EXPECT_EQ(a.Finish().status, STATUS_CANCELLED);
  EXPECT_EQ(b.Finish().status, STATUS_CANCELLED);
  EXPECT_FALSE(other.Done()) << "another pipe's transfer stays";
  EXPECT_EQ(Ioctl(status, IOCTL_PIPE_ABORT_PIPE).status, STATUS_SUCCESS);
  EXPECT_EQ(other.Finish().status, STATUS_CANCELLED);
  EXPECT_EQ(Ext()->PendingIoCount, 1);
  CloseHandle(status);
}

TEST_F(PendingTransfers, ResetPipeLeavesPendingTransfersToFinish) {
  PendingRead read(in_);
  ASSERT_TRUE(read.started);
  EXPECT_EQ(Ioctl(in_, IOCTL_PIPE_RESET_PIPE).status, STATUS_SUCCESS);
  EXPECT_FALSE(read.Done());
  rig_.Adapter()->WireScript();
  rig_.Adapter()->PeerSend(Pattern(10));
  IoResult r = read.Finish();
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 10u);
}

TEST(StalledPipe, TransferFailsUntilThePipeIsReset) {
  PipeConfig config;
  config.faults.stall = {0x01};
  PipeRig rig(config);
  HANDLE out = rig.Open(u"\\PIPE00");
  uint8_t bytes[10] = {};
  IoResult w = WritePipe(out, bytes, 10);
  EXPECT_FALSE(NT_SUCCESS(w.status));
  EXPECT_EQ(w.bytes, 0u);
  EXPECT_EQ(Ioctl(out, IOCTL_PIPE_RESET_PIPE).status, STATUS_SUCCESS);
  rig.Usb().SetFaults(rig.Port(), {});
  w = WritePipe(out, bytes, 10);
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.bytes, 10u);
  CloseHandle(out);
}

// The adapter is pulled out after 1000 bytes of a long write: the write ends
// with the bus's error and the bytes that made it, the handles still close,
// and the removal that follows tears the device down.
TEST(Unplug, MidTransferEndsTheWriteWithWhatWasSent) {
  PipeConfig config;
  config.faults.unplugAfterBytes = 1000;
  config.values = {{u"EP1_SegmentSize", sim::RegistryValue::Dword(4096)}};
  PipeRig rig(config);
  HANDLE out = rig.Open(u"\\PIPE00");
  std::vector<uint8_t> pattern = Pattern(10000);
  IoResult w = WritePipe(out, pattern.data(), 10000);
  EXPECT_FALSE(NT_SUCCESS(w.status));
  EXPECT_LT(w.bytes, 10000u);
  // The hub unplugs the device on its own thread: wait until merrow heard of it.
  EXPECT_TRUE(RunUntil(rig, [&] { return rig.Extension()->SurpriseRemoved != FALSE; }));
  uint8_t byte = 0;
  EXPECT_EQ(WritePipe(out, &byte, 1).status, STATUS_DELETE_PENDING);
  EXPECT_TRUE(CloseHandle(out));
  EXPECT_TRUE(RunUntil(rig, [&] { return rig.Device() == nullptr; })) << "the last handle closed, the removal finished";
}

TEST_F(PendingTransfers, UnplugEndsThePendingReadAndCloseStillWorks) {
  PendingRead read(in_);
  ASSERT_TRUE(read.started);
  HANDLE device = rig_.Open(u""), status = rig_.Open(u"\\PIPE02");
  rig_.Unplug();
  IoResult r = read.Finish();
  EXPECT_FALSE(NT_SUCCESS(r.status));
  EXPECT_EQ(r.bytes, 0u);
  ASSERT_NE(rig_.Device(), nullptr) << "open handles hold the removal back";
  EXPECT_TRUE(Ext()->SurpriseRemoved);

  // After a surprise removal files can still be closed (the pipe's open
  // mark goes), but nothing else reaches the device.
  EXPECT_EQ(Ioctl(device, IOCTL_PIPE_GET_CONFIG_DESCRIPTOR).status, STATUS_DELETE_PENDING);
  EXPECT_TRUE(CloseHandle(status));
  EXPECT_EQ(Ext()->ConfigRecord->PipeTable[2].PipeInfo->PipeFlags, 0u) << "the close went through";
  EXPECT_TRUE(CloseHandle(device));
  EXPECT_TRUE(CloseHandle(in_));
  in_ = INVALID_HANDLE_VALUE;
  EXPECT_TRUE(RunUntil(rig_, [&] { return rig_.Device() == nullptr; }));
}

// An orderly removal is vetoed while a pipe is open: the transfers pending on
// it stay where they are, and merrow takes requests again once the PnP
// manager called the removal off. With the pipe closed the device goes.
TEST_F(PendingTransfers, AnOpenPipeVetoesTheRemovalAndItsTransfersStay) {
  PendingRead a(in_), b(in_);
  ASSERT_TRUE(a.started && b.started);
  EXPECT_FALSE(rig_.Remove());
  EXPECT_EQ(rig_.Node()->State(), sim::NodeState::Started);
  EXPECT_FALSE(a.Done() || b.Done()) << "nothing aborted the pending reads";
  EXPECT_EQ(rig_.Usb().PendingTransfers(rig_.Port()), 2u);
  EXPECT_TRUE(CanAcceptRequests(rig_.Device())) << "the cancelled removal reopened the gate";

  rig_.Adapter()->WireScript();
  rig_.Adapter()->PeerSend(Pattern(10));
  IoResult r = a.Finish();
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 10u);
  EXPECT_TRUE(CancelIo(in_));
  EXPECT_EQ(b.Finish().status, STATUS_CANCELLED);
  EXPECT_TRUE(CloseHandle(in_));
  in_ = INVALID_HANDLE_VALUE;
  EXPECT_TRUE(rig_.Remove());
  EXPECT_EQ(rig_.Device(), nullptr);
  EXPECT_EQ(rig_.Usb().PendingTransfers(rig_.Port()), 0u);
}

}  // namespace
}  // namespace pipetest

namespace pipetest {
namespace {

// Reads, writes and control codes with every allocation of merrow failing in
// turn: each request ends with STATUS_INSUFFICIENT_RESOURCES or works, and
// the unplug that follows unloads merrow with nothing left allocated.
bool PipeTraffic(const sim::MachineOptions& options) {
  PipeConfig config;
  config.adapter.controlAndIsochronous = true;
  config.values = {{u"EP1_SegmentSize", sim::RegistryValue::Dword(4096)}};
  PipeRig rig(config, options);
  if (!rig.Extension() || !rig.Extension()->Started) return rig.Unplug(), rig.Driver() == nullptr;
  auto acceptable = [](NTSTATUS status) { return status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES; };
  bool ok = true;
  HANDLE out = rig.Open(u"\\PIPE00"), in = rig.Open(u"\\PIPE01"), iso = rig.Open(u"\\EA85"), device = rig.Open(u"");
  std::vector<uint8_t> pattern = Pattern(10000);
  ok &= acceptable(WritePipe(out, pattern.data(), 10000).status);
  if (DWORD waiting = (DWORD)rig.Adapter()->Buffered())  // what came back through the loopback
    ok &= acceptable(ReadPipe(in, pattern.data(), waiting).status);
  ok &= acceptable(ReadPipe(iso, pattern.data(), 1000).status);
  UCHAR message[2] = {0x01, 0x03};
  ok &= acceptable(Ioctl(device, IOCTL_PIPE_VENDOR_COMMAND, message, 2).status);
  ok &= acceptable(Ioctl(in, IOCTL_PIPE_RESET_PIPE).status);
  ok &= acceptable(Ioctl(in, IOCTL_PIPE_ABORT_PIPE).status);
  for (HANDLE h : {out, in, iso, device}) CloseHandle(h);
  rig.Unplug();
  return ok && RunUntil(rig, [&] { return rig.Driver() == nullptr; });
}

TEST(PipeFaults, EveryAllocationOfTheIoPathFailingInTurnIsSurvived) {
  sim::MachineOptions options;
  options.faults.driver = "merrow";
  sim::FaultRunReport report = sim::RunFailingEachSite(PipeTraffic, options);
  EXPECT_TRUE(report.AllSurvived()) << report.Describe();
  EXPECT_GE(report.sites.size(), 14u) << report.Describe();
}

}  // namespace
}  // namespace pipetest

// Every allocation of tolvane failing once in turn, through a bound port's
// life: binding, open, reads with data from the far end, the device unplugged
// and plugged in again, close, removal; and through the write path: writes,
// the immediate character, a purge with writes queued, a close with writes
// pending. Each run must end without a crash, a verifier stop (a request
// completed twice or never), a leak or a hang.
#include "sim/kernel/faultrun.h"
#include "tests/port/write_kit.h"

namespace stacktest {
namespace {

// A read with a timeout: whatever arrived, or nothing if a failed allocation
// stopped the loop (the next read starts it again).
bool ReadSome(HANDLE port) {
  uint8_t buffer[16];
  IoResult r = ReadPipe(port, buffer, sizeof buffer);
  if (r.status == STATUS_SUCCESS && r.bytes <= 10) return true;  // what came before an unplug may come after it
  std::fprintf(stderr, "read: 0x%08X, %u bytes\n", (unsigned)r.status, (unsigned)r.bytes);
  return false;
}

bool BoundPortLife(const sim::MachineOptions& options) {
  StackRig rig({.endPointCaps = 3}, options);
  if (!rig.Port() || rig.PortNode()->State() != sim::NodeState::Started) return true;  // creation or naming failed
  rig.WaitBound();  // a binding whose allocation failed leaves the port unbound
  HANDLE port = rig.Open();
  if (port == INVALID_HANDLE_VALUE) return LastNtStatus() == STATUS_INSUFFICIENT_RESOURCES;
  bool ok = SetTimeouts(port, MAXULONG, MAXULONG, 50);
  if (!ok) std::fprintf(stderr, "timeouts refused: 0x%08X\n", (unsigned)LastNtStatus());
  rig.Adapter().PeerSend(std::span((const uint8_t*)"first", 5));
  ok = ReadSome(port) && ok;
  rig.Pipe().Unplug();
  if (!rig.WaitUnbound()) {
    std::fprintf(stderr, "the port did not let go of the unplugged device\n");
    ok = false;
  }
  rig.Pipe().Replug();
  rig.WaitBound();
  rig.Adapter().PeerSend(std::span((const uint8_t*)"again", 5));
  ok = ReadSome(port) && ok;
  CloseHandle(port);
  return ok;
}

TEST(StackFaults, EveryAllocationOfBindingAndReceiveFailingInTurnIsSurvived) {
  sim::MachineOptions options;
  options.faults.driver = "tolvane";
  sim::FaultRunReport report = sim::RunFailingEachSite(BoundPortLife, options);
  EXPECT_TRUE(report.AllSurvived()) << report.Describe();
  EXPECT_GE(report.sites.size(), 10u) << report.Describe();
}

// A write's outcome when an allocation may fail: all of it, or nothing and
// STATUS_INSUFFICIENT_RESOURCES.
bool WriteWentOrFailedCleanly(IoResult result, DWORD length, const char* what) {
  if (result.status == STATUS_SUCCESS && result.bytes == length) return true;
  if (result.status == STATUS_INSUFFICIENT_RESOURCES && result.bytes == 0) return true;
  std::fprintf(stderr, "%s: 0x%08X, %u bytes\n", what, (unsigned)result.status, (unsigned)result.bytes);
  return false;
}

bool WritePathLife(const sim::MachineOptions& options) {
  StackRig rig({.endPointCaps = 2}, options);
  if (!rig.Port() || rig.PortNode()->State() != sim::NodeState::Started || !rig.WaitBound()) return true;
  HANDLE port = rig.Open(FILE_FLAG_OVERLAPPED);
  if (port == INVALID_HANDLE_VALUE) return LastNtStatus() == STATUS_INSUFFICIENT_RESOURCES;
  bool ok = UseHardwareFlow(port) || LastNtStatus() == STATUS_INSUFFICIENT_RESOURCES;
  rig.Adapter().PeerSetLines(sim::usb::kLineCts | sim::usb::kLineDsr);
  PendingWrite first(port, Pattern(100));
  ok = WriteWentOrFailedCleanly(first.Finish(), 100, "write") && ok;
  if (!TransmitCommChar(port, '!') && LastNtStatus() != STATUS_INSUFFICIENT_RESOURCES) ok = false;
  // The far end stalls (if the device took hardware flow): writes queue up,
  // then a purge and a close end them. A write that went before either may
  // have succeeded.
  rig.Adapter().PeerSetLines(sim::usb::kLineDsr);
  PendingWrite stalled(port, Pattern(600)), queued(port, Pattern(50));
  PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR);
  PendingWrite atClose(port, Pattern(700)), behind(port, Pattern(10));
  CloseHandle(port);
  for (PendingWrite* write : {&stalled, &queued, &atClose, &behind}) {
    IoResult result = write->Finish();
    if (result.status != STATUS_CANCELLED && !WriteWentOrFailedCleanly(result, (DWORD)write->buffer.size(), "ended write"))
      ok = false;
  }
  return ok;
}

TEST(StackFaults, EveryAllocationOfTheWritePathFailingInTurnIsSurvived) {
  sim::MachineOptions options;
  options.faults.driver = "tolvane";
  sim::FaultRunReport report = sim::RunFailingEachSite(WritePathLife, options);
  EXPECT_TRUE(report.AllSurvived()) << report.Describe();
  EXPECT_GE(report.sites.size(), 12u) << report.Describe();
}

}  // namespace
}  // namespace stacktest

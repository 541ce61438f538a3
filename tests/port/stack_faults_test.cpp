// Every allocation of tolvane's binding and receive paths failing once in
// turn, through a bound port's life: binding, open, reads with data from the
// far end, the device unplugged and plugged in again, close, removal. Each
// run must end without a crash, a verifier stop (a request completed twice
// or never), a leak or a hang.
#include "sim/kernel/faultrun.h"
#include "tests/port/stack_kit.h"

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

}  // namespace
}  // namespace stacktest

// The port's life through the whole stack (application, tolvane, merrow, the
// bus, the adapter and its far end) with every allocation site of one driver
// failing once in turn, for each driver: install and bind, open and
// settings, data both ways, unplug and replug, sleep and wake, close and
// removal. A scenario's faults start with its own phase; what comes before
// runs without. Every run must end without a crash, a verifier stop (a
// request completed twice or never, a leak at unload) or a hang; every step
// ends in success or a status the port documents for it; and afterwards the
// port works again, at the latest once the user reopens it or plugs the
// adapter in again (LifeRun::Finish). The table: tests/port/fault_table.h.
#include "sim/kernel/power.h"
#include "tests/port/fault_table.h"
#include "tests/port/life_faults_kit.h"

namespace stacktest {
namespace {

NTSTATUS Result(BOOL ok) { return ok ? STATUS_SUCCESS : LastNtStatus(); }

std::string AsString(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A read that may have lost the end of what the far end sent (a receive
// loop that failed to post its next read stops until the next read request)
// but brings nothing else.
void ReadPrefix(LifeRun& run, PendingRead& read, const std::string& sent) {
  run.Transfer("read", read.Finish(), (DWORD)sent.size());
  std::string got = AsString(read.Bytes());
  if (sent.compare(0, got.size(), got) != 0) run.Fail("read '" + got + "' of '" + sent + "'");
}

// A write of `bytes` ended; the far end must have exactly what it reported.
void WriteReached(LifeRun& run, PendingWrite& write, const char* what) {
  bool whole = run.Transfer(what, write.Finish(), (DWORD)write.buffer.size());
  std::vector<uint8_t> far = run.FarEndTakes(write.buffer.size());
  if (far != (whole ? write.buffer : std::vector<uint8_t>()))
    run.Fail(std::string(what) + ": the far end got " + std::to_string(far.size()) + " bytes");
}

// The port installed before its adapter, then the adapter plugged in: both
// drivers load and start their devices, and the port binds and opens. A
// failed binding leaves the port unbound until the adapter's next arrival.
bool InstallAndBind(const sim::MachineOptions& options) {
  StackConfig config{.endPointCaps = 3, .portFirst = true};
  config.pipe.plug = false;
  LifeRun run(config, options, true);
  run.Rig().Pipe().Plug();
  if (run.Bound() && run.Open() && !run.Rig().Adapter().PortOpen()) run.Fail("the device was not told the port is open");
  return run.Finish();
}

// The application opens the bound port and sets it up: line settings (which
// must reach the device when accepted), queue sizes, timeouts, modem lines,
// and a wait for a received character.
bool OpenAndSettings(const sim::MachineOptions& options) {
  LifeRun run({.endPointCaps = 3}, options, false);
  if (!run.Bound()) return run.Fail("not bound before the faults");
  run.Arm();
  if (!run.Open()) return run.Finish();
  HANDLE port = run.Port();
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (run.Step("GetCommState", Result(GetCommState(port, &dcb)))) {
    dcb.BaudRate = 38400;
    dcb.Parity = EVENPARITY;
    if (run.Step("SetCommState", Result(SetCommState(port, &dcb))) && run.Rig().Adapter().Line().baud != 38400)
      run.Fail("SetCommState succeeded but the device runs at " + std::to_string(run.Rig().Adapter().Line().baud));
  }
  run.Step("SetupComm", Result(SetupComm(port, 4096, 2048)));
  run.Step("SetCommTimeouts", Result(SetTimeouts(port, 0, 0, 500)));
  run.Step("EscapeCommFunction", Result(EscapeCommFunction(port, SETRTS)));
  DWORD lines = 0;
  run.Step("GetCommModemStatus", Result(GetCommModemStatus(port, &lines)));
  if (!run.Step("SetCommMask", Result(SetCommMask(port, EV_RXCHAR)))) return run.Finish();
  OVERLAPPED wait = porttest::WithEvent();
  DWORD events = 0, unused = 0;
  if (WaitCommEvent(port, &events, &wait) || GetLastError() == ERROR_IO_PENDING) {
    run.FarEndSends("x");
    // A receive loop stopped by a failed allocation raises no event: the
    // wait is then cancelled, as an application that gives up would.
    if (WaitForSingleObject(wait.hEvent, 1000) != WAIT_OBJECT_0) CancelIo(port);
    if (run.Step("WaitCommEvent", Result(GetOverlappedResult(port, &wait, &unused, TRUE)), kEndedEarly) &&
        !(events & EV_RXCHAR))
      run.Fail("the wait ended without EV_RXCHAR");
  } else {
    run.Step("WaitCommEvent", LastNtStatus());
  }
  CloseHandle(wait.hEvent);
  return run.Finish();
}

// Binds and opens the port with hardware flow control on, a total read
// timeout of 500 ms, and the far end ready (CTS and DSR up).
bool OpenWithHardwareFlow(LifeRun& run) {
  if (!run.Bound() || !run.Open() || !UseHardwareFlow(run.Port()) || !SetTimeouts(run.Port(), 0, 0, 500)) return false;
  run.Rig().Adapter().PeerSetLines(sim::usb::kLineCts | sim::usb::kLineDsr);
  return true;
}

// Hardware flow control on, the far end ready: a read and a write at once,
// the immediate character, then the far end stalls and a purge ends the
// writes queued behind the one in flight. Every byte a write reported
// reaches the far end; a refused write sends none.
bool DataBothWays(const sim::MachineOptions& options) {
  LifeRun run({.endPointCaps = 2}, options, false);
  if (!OpenWithHardwareFlow(run)) return run.Fail("no open port before the faults");
  HANDLE port = run.Port();
  run.Arm();
  PendingRead read(port, 5);
  PendingWrite write(port, Pattern(100));
  run.FarEndSends("first");
  WriteReached(run, write, "write");
  ReadPrefix(run, read, "first");
  if (run.Step("TransmitCommChar", Result(TransmitCommChar(port, '!'))) && AsString(run.FarEndTakes(1)) != "!")
    run.Fail("the immediate character did not reach the far end");
  run.Rig().Adapter().PeerSetLines(sim::usb::kLineDsr);
  PendingWrite stalled(port, Pattern(600)), queued(port, Pattern(50));
  run.Step("PurgeComm", Result(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR)));
  run.Transfer("stalled write", stalled.Finish(), 600);
  run.Transfer("queued write", queued.Finish(), 50);
  return run.Finish();
}

// The adapter pulled out with a read pending on the open port, then plugged
// in again: the port lets go of it, the read ends, and data flows both ways
// on the same handle once the port has bound again.
bool UnplugAndReplug(const sim::MachineOptions& options) {
  LifeRun run({.endPointCaps = 3}, options, false);
  if (!run.Bound() || !run.Open() || !SetTimeouts(run.Port(), MAXULONG, MAXULONG, 50))
    return run.Fail("no open port before the faults");
  HANDLE port = run.Port();
  run.Arm();
  PendingRead first(port, 5);
  run.FarEndSends("first");
  ReadPrefix(run, first, "first");
  PendingRead across(port, 8);
  run.Rig().Pipe().Unplug();
  if (!run.Rig().WaitUnbound()) run.Fail("the port did not let go of the unplugged device");
  run.Transfer("read across the unplug", across.Finish(), 8);
  run.Rig().Pipe().Replug();
  if (!run.Bound()) return run.Finish();  // a binding whose allocation failed waits for the next arrival
  PendingRead again(port, 5);
  run.FarEndSends("again");
  ReadPrefix(run, again, "again");
  PendingWrite back(port, Text("back"));
  WriteReached(run, back, "write after the replug");
  return run.Finish();
}

// A system sleep and wake with a read pending on the open port: the port
// stops and resumes its data path, and the read gets what the far end sends
// after the wake.
bool SleepAndWake(const sim::MachineOptions& options) {
  LifeRun run({.endPointCaps = 2}, options, false);
  if (!OpenWithHardwareFlow(run)) return run.Fail("no open port before the faults");
  HANDLE port = run.Port();
  run.Arm();
  PendingRead read(port, 3);
  sim::PowerManager& power = run.Rig().Machine().Power();
  if (!power.Sleep(PowerSystemSleeping3)) run.Step("sleep", STATUS_UNSUCCESSFUL, {STATUS_UNSUCCESSFUL});
  power.Wake();
  run.Rig().RunUntil([&] { return !ReadShared(run.Rig().Port()->SleepPrepared) && LoopActive(run.Rig().Port()->InputPipe); });
  run.FarEndSends("abc");
  ReadPrefix(run, read, "abc");
  PendingWrite write(port, Text("awake"));
  WriteReached(run, write, "write after the wake");
  return run.Finish();
}

// The application closes the port with writes stalled in flight and queued,
// a read and a wait pending; the port is removed (it never vetoes) and the
// adapter pulled out, both drivers unload; then both are installed again.
bool CloseAndRemoval(const sim::MachineOptions& options) {
  LifeRun run({.endPointCaps = 2}, options, false);
  if (!run.Bound() || !run.Open() || !UseHardwareFlow(run.Port()) || !SetTimeouts(run.Port(), 0, 0, 0) ||
      !SetCommMask(run.Port(), EV_RXFLAG))
    return run.Fail("no open port before the faults");
  HANDLE port = run.Port();
  run.Rig().Adapter().PeerSetLines(sim::usb::kLineDsr);
  run.Arm();
  PendingWrite inFlight(port, Pattern(700)), behind(port, Pattern(10));
  PendingRead read(port, 10);
  OVERLAPPED wait = porttest::WithEvent();
  DWORD events = 0, unused = 0;
  BOOL waiting = WaitCommEvent(port, &events, &wait) || GetLastError() == ERROR_IO_PENDING;
  run.Close();
  run.Transfer("write in flight at the close", inFlight.Finish(), 700);
  run.Transfer("write queued at the close", behind.Finish(), 10);
  run.Transfer("read pending at the close", read.Finish(), 10, {STATUS_CANCELLED});
  run.Step("WaitCommEvent", Result(waiting && GetOverlappedResult(port, &wait, &unused, TRUE)), kEndedEarly);
  CloseHandle(wait.hEvent);
  if (!run.Rig().Machine().Pnp().RemoveDevice(run.Rig().PortNode())) return run.Fail("the port vetoed its removal");
  run.Rig().Pipe().Unplug();
  if (!run.Rig().RunUntil([&] { return !run.Rig().PortDriver() && !run.Rig().Pipe().Driver(); }))
    return run.Fail("a driver stayed loaded after its last device went");
  run.Rig().AddPort();
  run.Rig().Pipe().Replug();
  run.Bound();  // the binding, unless its allocation failed
  return run.Finish();
}

// A scenario, and the fewest allocation sites of either driver its phase
// reaches: fewer means it stopped short of what it is meant to drive.
struct Scenario {
  const char* name;
  bool (*run)(const sim::MachineOptions&);
  size_t minSites;
};

// Its name in test listings instead of its bytes.
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

constexpr Scenario kScenarios[] = {
    {"install and bind", InstallAndBind, 12}, {"open and settings", OpenAndSettings, 5},
    {"data both ways", DataBothWays, 4},      {"unplug and replug", UnplugAndReplug, 8},
    {"sleep and wake", SleepAndWake, 5},      {"close and removal", CloseAndRemoval, 12},
};

class LifeFaults : public ::testing::TestWithParam<std::tuple<Scenario, const char*>> {};

TEST_P(LifeFaults, EveryAllocationFailingInTurnIsSurvived) {
  auto [scenario, driver] = GetParam();
  FaultRow row = RunFaultRow(scenario.name, driver, scenario.run);
  EXPECT_TRUE(row.report.AllSurvived()) << RowLines(row) << row.report.Describe();
  EXPECT_GE(row.report.sitesFound, scenario.minSites) << row.report.Describe();
}

std::string RowName(const ::testing::TestParamInfo<LifeFaults::ParamType>& info) {
  std::string name = std::get<0>(info.param).name;
  for (char& c : name)
    if (c == ' ') c = '_';
  return name + "_" + std::get<1>(info.param);
}

INSTANTIATE_TEST_SUITE_P(Stack, LifeFaults,
                         ::testing::Combine(::testing::ValuesIn(kScenarios), ::testing::Values("tolvane", "merrow")),
                         RowName);

}  // namespace
}  // namespace stacktest

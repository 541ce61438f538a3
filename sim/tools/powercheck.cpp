// The simulator's show of a system sleep and wake under an open COM7, as the
// power manager, the bus and an application see it: before the sleep the
// port stops its pipe reads and its write path but keeps its pipes open and
// its pending read queued; after the wake its work item powers merrow's
// device up, replays the settings as control messages and restarts reading
// and writing on the same handle.
#include <algorithm>
#include <string>
#include <vector>

#include "pipe/pipe.h"
#include "port/port.h"
#include "sim/kernel/object.h"
#include "sim/kernel/power.h"
#include "sim/kernel/ustring.h"
#include "sim/tools/portcheck.h"
#include "sim/tools/portstate.h"
#include "sim/tools/report.h"
#include "sim/win32/comm.h"
#include "sim/win32/win32.h"

namespace simulator {

namespace {

using namespace win32;

Bytes Of(const std::string& text) { return Bytes(text.begin(), text.end()); }
// The text without its line end, for a log line.
std::string Printable(const Bytes& bytes) {
  std::string text(bytes.begin(), bytes.end());
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

// The two stacks the show follows, each by the names its devices carry in
// the power manager's log.
struct Stacks {
  std::string portPdo, pipePdo, pipeFdo;
  const char* Owner(const std::string& line) const {
    auto named = [&](const std::string& name) { return !name.empty() && line.find(name + ":") != std::string::npos; };
    if (named(portPdo)) return "the port's stack";
    if (named(pipePdo) || named(pipeFdo)) return "merrow's stack  ";
    return nullptr;
  }
};

Stacks StacksOf(PPORT_EXTENSION port) {
  sim::ObjectManager& objects = sim::CurrentMachine().Objects();
  PDEVICE_OBJECT pipeFdo = port->TargetDeviceObject;
  return {sim::Narrow(objects.NameOf(port->PhysicalDeviceObject)),
          sim::Narrow(objects.NameOf(PipeExtension(pipeFdo)->PhysicalDeviceObject)),
          sim::Narrow(objects.NameOf(pipeFdo))};
}

// The power manager's log since its first `from` lines, for the two stacks.
void ShowPowerLog(const Stacks& stacks, size_t from) {
  std::vector<std::string> log = sim::CurrentMachine().Power().Log();
  for (size_t i = from; i < log.size(); ++i)
    if (const char* owner = stacks.Owner(log[i])) Log("       %s  %s", owner, log[i].c_str());
}

// The settings the write path left (115200 8N1, RTS/CTS handshake, DTR on),
// set again; reads wait for their whole length, writes for as long as they
// take.
bool UseSettings(HANDLE port) {
  COMMTIMEOUTS timeouts{0, 0, 0, 0, 0};
  return UseHardwareFlow(port) && SetCommTimeouts(port, &timeouts);
}

// A line each way while the system works.
void DataFlows(HANDLE port, FarEnd& far) {
  const std::string greeting = "Good evening from the far end.\r\n", answer = "Good evening to you.\r\n";
  Request read(port, Request::Read, Bytes(greeting.size()));
  far.Send(greeting);
  read.Finish();
  Check(read.Ended(STATUS_SUCCESS, (DWORD)greeting.size()) && read.buffer == Of(greeting),
        "a pending ReadFile got the far end's line: \"%s\"", Printable(read.buffer).c_str());
  Request write(port, Request::Write, Of(answer));
  write.Finish();
  Bytes got = far.Take(answer.size());
  Check(write.Ended(STATUS_SUCCESS, (DWORD)answer.size()) && got == Of(answer),
        "WriteFile: the far end got the application's line \"%s\"", Printable(got).c_str());
}

// How many bytes the port has put into the read it is filling.
ULONG_PTR ReadSoFar(PPORT_EXTENSION port) {
  PIRP current = port->CurrentReadIrp;
  return current ? current->IoStatus.Information : 0;
}

void SleepAndWake(HANDLE port, FarEnd& far, PPORT_EXTENSION extension) {
  sim::PowerManager& power = sim::CurrentMachine().Power();
  Stacks stacks = StacksOf(extension);
  const std::string before = "Sent before the sleep, ", after = "and after the wake.\r\n";
  const std::string asleep = "Written while the system sleeps.\r\n", awake = "Written after the wake.\r\n";

  Request read(port, Request::Read, Bytes(before.size() + after.size()));
  far.Send(before);
  bool filling = RunUntil([&] { return ReadSoFar(extension) == before.size(); });
  Check(filling && !read.Done(), "ReadFile for %zu bytes pending; the far end sent the first %zu: \"%s\"",
        read.buffer.size(), before.size(), before.c_str());

  size_t logFrom = power.Log().size(), messages = far.adapter.Messages().size();
  bool slept = power.Sleep(PowerSystemSleeping3);
  Check(slept, "the system went to sleep (S3); the power manager's log for the port's stack (PDO %s) and merrow's "
        "(PDO %s, merrow's device %s):", stacks.portPdo.c_str(), stacks.pipePdo.c_str(), stacks.pipeFdo.c_str());
  ShowPowerLog(stacks, logFrom);
  Check(!portstate::LoopActive(extension->InputPipe) && !portstate::LoopActive(extension->StatusPipe),
        "the port stopped its pipe reads of \\PIPE01 and \\PIPE02 before the sleep");
  Check(extension->OutputPipeOpen && extension->InputPipeOpen && extension->StatusPipeOpen,
        "its three pipes stay open: \\PIPE00 (output), \\PIPE01 (input), \\PIPE02 (line status)");
  Check(!read.Done(), "the ReadFile issued before the sleep is still pending, with %u of its %zu bytes",
        (unsigned)ReadSoFar(extension), read.buffer.size());
  Request during(port, Request::Write, Of(asleep));
  Sleep(100);
  Bytes early = far.adapter.PeerTake();
  Check(!during.Done() && early.empty(),
        "a WriteFile issued during the sleep waits: still pending after 100 ms, nothing reached the far end");

  logFrom = power.Log().size();
  power.Wake();
  bool resumed = RunUntil([&] { return !ReadShared(extension->SleepPrepared) && portstate::LoopActive(extension->InputPipe); });
  Check(resumed, "the system woke (S0): the port's work item powered merrow's device up (D0) and restarted its pipe "
        "reads");
  ShowPowerLog(stacks, logFrom);
  std::vector<Bytes> replayed = MessagesSince(far.adapter, messages);
  bool modemLines = std::find(replayed.begin(), replayed.end(), Bytes{0x01, 0x03}) != replayed.end();
  bool lineSettings =
      std::any_of(replayed.begin(), replayed.end(), [](const Bytes& m) { return !m.empty() && m[0] == 0x00; });
  Check(resumed && modemLines && lineSettings,
        "the settings replayed on the bus: vendor requests 40 0B 0000 0000 carrying %s", Hex(replayed).c_str());

  during.Finish();
  Bytes got = far.Take(asleep.size());
  Check(during.Ended(STATUS_SUCCESS, (DWORD)asleep.size()) && got == Of(asleep),
        "the write issued during the sleep went out after the wake: the far end got \"%s\"", Printable(got).c_str());
  far.Send(after);
  read.Finish();
  Check(read.Ended(STATUS_SUCCESS, (DWORD)read.buffer.size()) && read.buffer == Of(before + after),
        "the far end sent the rest: the read pending since before the sleep ended with %u bytes, byte for byte: "
        "\"%s\"", (unsigned)read.bytes, Printable(read.buffer).c_str());
  Request later(port, Request::Write, Of(awake));
  later.Finish();
  got = far.Take(awake.size());
  Check(later.Ended(STATUS_SUCCESS, (DWORD)awake.size()) && got == Of(awake),
        "a write after the wake went through on the same handle: \"%s\"", Printable(got).c_str());
}

}  // namespace

void ShowSleepAndWake(sim::DeviceNode* portNode, sim::usb::SerialAdapter& adapter) {
  PPORT_EXTENSION port = portNode->Top() ? (PPORT_EXTENSION)portNode->Top()->DeviceExtension : nullptr;
  if (!port || !port->TargetStarted) {
    Check(false, "COM7 is bound to its adapter");
    return;
  }
  FarEnd far{adapter};
  far.Release();
  adapter.PeerTake();
  HANDLE com = CreateFileW(u"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
  bool ready = com != INVALID_HANDLE_VALUE && UseSettings(com);
  Check(ready, "\\\\.\\COM7 opened again for overlapped I/O: 115200 8N1, RTS/CTS handshake, DTR on");
  if (com == INVALID_HANDLE_VALUE) return;
  if (ready) {
    DataFlows(com, far);
    SleepAndWake(com, far, port);
  }
  Check(CloseHandle(com), "application closed the port");
}

}  // namespace simulator

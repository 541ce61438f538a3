#include "tests/port/life_faults_kit.h"

#include <algorithm>

#include "sim/kernel/trace.h"

namespace stacktest {

namespace {

std::string AsString(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// What the recovery's reads and writes may end with besides success: no
// memory; cancelled by a binding that restarts the data path; a bound
// device whose pipes could not be opened (until it is plugged in again).
constexpr std::initializer_list<NTSTATUS> kRecoveryRefusals = {STATUS_INSUFFICIENT_RESOURCES, STATUS_CANCELLED,
                                                               STATUS_NO_SUCH_DEVICE};

// Timeouts for the recovery's exchange: a read ends a second after it began,
// a write two seconds after, so a port that does not work says so in time.
bool ExchangeTimeouts(HANDLE port) {
  COMMTIMEOUTS timeouts{0, 0, 1000, 0, 2000};
  return SetCommTimeouts(port, &timeouts);
}

}  // namespace

LifeRun::LifeRun(StackConfig config, const sim::MachineOptions& options, bool armed)
    : options_(options), rig_(std::make_unique<StackRig>(std::move(config), armed ? options : sim::WithoutFaults(options))) {}

LifeRun::~LifeRun() { Close(); }

void LifeRun::Arm() { sim::ArmFaults(rig_->Machine(), options_); }

bool LifeRun::Step(const char* what, NTSTATUS status, std::initializer_list<NTSTATUS> accepted) {
  if (NT_SUCCESS(status)) return true;
  if (std::find(accepted.begin(), accepted.end(), status) != accepted.end()) {
    refusals_.insert(std::string(what) + " " + sim::StatusName(status));
    return false;
  }
  return Fail(std::string(what) + ": " + sim::StatusName(status));
}

bool LifeRun::Transfer(const char* what, IoResult result, DWORD length, std::initializer_list<NTSTATUS> accepted) {
  if (result.status == STATUS_SUCCESS && result.bytes <= length) return result.bytes == length;
  bool listed = std::find(accepted.begin(), accepted.end(), result.status) != accepted.end();
  // A cancelled request may have moved part of its bytes; a refused one none.
  if (listed && (result.bytes == 0 || result.status == STATUS_CANCELLED)) return Step(what, result.status, accepted);
  return Fail(std::string(what) + ": " + sim::StatusName(result.status) + " with " + std::to_string(result.bytes) +
              " of " + std::to_string(length) + " bytes");
}

bool LifeRun::Fail(const std::string& why) {
  std::fprintf(stderr, "%s\n", why.c_str());
  if (failure_.empty()) failure_ = why;
  return false;
}

bool LifeRun::Open() {
  Close();
  port_ = rig_->Open(FILE_FLAG_OVERLAPPED);
  if (port_ != INVALID_HANDLE_VALUE) return true;
  Step("open", LastNtStatus());
  return false;
}

void LifeRun::Close() {
  if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
  port_ = INVALID_HANDLE_VALUE;
}

bool LifeRun::PortStarted() { return rig_->PortNode() && rig_->PortNode()->State() == sim::NodeState::Started; }

std::vector<uint8_t> LifeRun::FarEndTakes(size_t count) {
  std::vector<uint8_t> got;
  rig_->RunUntil([&] {
    std::vector<uint8_t> more = rig_->Adapter().PeerTake();
    got.insert(got.end(), more.begin(), more.end());
    return got.size() >= count;
  });
  return got;
}

void LifeRun::FarEndSends(const std::string& text) {
  rig_->Adapter().PeerSend(std::span((const uint8_t*)text.data(), text.size()));
}

// One line each way on the open handle, with the far end's lines up: the
// application's PING<n> reaches the far end and the far end's PONG<n> the
// application, whole and once. Bytes of earlier steps still on their way
// may come first.
bool LifeRun::Exchange(int attempt) {
  if (port_ == INVALID_HANDLE_VALUE || !ExchangeTimeouts(port_)) return false;
  std::string out = "PING" + std::to_string(attempt), in = "PONG" + std::to_string(attempt);
  PurgeComm(port_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  rig_->Adapter().PeerSetLines(sim::usb::kLineCts | sim::usb::kLineDsr);
  PendingWrite write(port_, Text(out));
  FarEndSends(in);
  std::string received;
  for (int read = 0; read < 4 && !EndsWith(received, in); ++read) {
    PendingRead piece(port_, (DWORD)in.size());
    NTSTATUS status = piece.Finish().status;
    if (status != STATUS_SUCCESS) Step("recovery's read", status, kRecoveryRefusals);
    if (status != STATUS_SUCCESS || piece.Bytes().empty()) break;
    received += AsString(piece.Bytes());
  }
  std::string sent;
  for (int take = 0; take < 4 && !EndsWith(sent, out); ++take) sent += AsString(FarEndTakes(out.size()));
  IoResult wrote = write.Finish();
  if (wrote.status != STATUS_SUCCESS) Step("recovery's write", wrote.status, kRecoveryRefusals);
  bool once = received.find(in) == received.size() - in.size() && sent.find(out) == sent.size() - out.size();
  return wrote.status == STATUS_SUCCESS && wrote.bytes == out.size() && EndsWith(received, in) &&
         EndsWith(sent, out) && once;
}

bool LifeRun::Reopen() { return Open() && Bound(); }

void LifeRun::ReplugAdapter() {
  rig_->Pipe().Unplug();
  rig_->WaitUnbound();
  rig_->Pipe().Replug();
}

void LifeRun::ReinstallPort() {
  Close();
  if (rig_->PortNode() && rig_->PortNode()->State() != sim::NodeState::Removed)
    rig_->Machine().Pnp().RemoveDevice(rig_->PortNode());
  rig_->AddPort();
}

// The ladder a user climbs until the port works: the handle the scenario
// left (or a first one), with one retry after a refused request; a new
// handle; the adapter unplugged and plugged in again. A port whose device
// node is not started (it failed to start) is installed again instead.
// Returns the rung that worked, or nothing.
std::string LifeRun::Recover() {
  if (!PortStarted()) {
    ReinstallPort();
    if (!PortStarted()) return {};
    if (Reopen() && Exchange(1)) return "usable after reinstall";
    Close();
    ReplugAdapter();
    if (Reopen() && Exchange(2)) return "usable after reinstall and replug";
    return {};
  }
  if ((port_ != INVALID_HANDLE_VALUE || Open()) && (Exchange(1) || Exchange(2))) return "usable";
  if (Reopen() && Exchange(3)) return "usable after reopen";
  Close();
  ReplugAdapter();
  if (Reopen() && Exchange(4)) return "usable after replug";
  return {};
}

// Orderly removal of the port (which never vetoes it), then the adapter
// pulled out: each driver unloads with its last device, and the machine
// stops the run if either leaves pool, timers or work behind.
bool LifeRun::RemoveBoth() {
  Close();
  if (!rig_->Machine().Pnp().RemoveDevice(rig_->PortNode())) return Fail("the port's removal was refused");
  if (rig_->PortDriver()) return Fail("tolvane stayed loaded after its last port went");
  rig_->Pipe().Unplug();
  if (!rig_->RunUntil([&] { return rig_->Pipe().Driver() == nullptr; }))
    return Fail("merrow stayed loaded after its adapter was pulled out");
  return true;
}

bool LifeRun::Finish() {
  std::string recovery = Recover();
  // A port that works again only on a new handle must have told the
  // application something on the old one: a silent stop is a fault.
  if (recovery == "usable after reopen" && refusals_.empty())
    Fail("the port stopped working without refusing a request; a reopen revived it");
  if (recovery.empty()) Fail("not usable again: node " + std::string(sim::NodeStateName(rig_->PortNode()->State())) +
                             (Bound() ? ", bound" : ", unbound"));
  RemoveBoth();
  std::string note = recovery.empty() ? "not usable again" : recovery;
  for (const std::string& refusal : refusals_) note += (note.find(';') == std::string::npos ? "; " : ", ") + refusal;
  sim::ReportOutcome(note);
  if (!failure_.empty()) std::fprintf(stderr, "first failure: %s\n", failure_.c_str());
  return failure_.empty();
}

}  // namespace stacktest

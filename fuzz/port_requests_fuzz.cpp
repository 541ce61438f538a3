// Requests to the port: tolvane's port is added and bound to merrow on a
// plugged-in adapter whose far end the harness plays, then the input is
// decoded into a sequence of application operations on a few handles of
// \\.\COM7: serial control codes (every one the port knows, its private
// pass-through codes, unknown codes) with chosen buffer lengths and contents,
// overlapped reads and writes, purges, wait-on-mask, CancelIo, closes and
// reopens; and of far-end actions: bytes sent towards the port, modem lines
// changed. At the end every request still pending is cancelled, every handle
// closed and the port removed.
//
// Findings (each aborts, so libFuzzer keeps the input): a request not
// completed within a bounded time after its cancellation or its handle's
// close; a status the port does not document for that kind of request; more
// bytes returned than the buffer holds; the far end receiving more than was
// written; tolvane not unloading cleanly or merrow holding more after the
// port went. The kernel's verifier stops on a request completed twice and
// the rest of what it checks.
//
// Input: byte 0 the port's EndPointCaps (0 to 3), then operations, each an
// opcode byte followed by its arguments (see Session::RunOperation).
#include <array>
#include <deque>
#include <set>

#include "fuzz/port_kit.h"

using namespace fuzzkit;

namespace {

constexpr size_t kSlots = 3;           // handles an input can hold at once
constexpr size_t kOutstanding = 12;    // requests left pending at once
constexpr size_t kOperations = 48;     // operations per input
// How long a cancelled request, or one whose handle was closed, may take to
// complete (machine clock): a cancelled wait-on-mask ends at the port's
// one-second timer, the other requests at once.
constexpr DWORD kCompletionBoundMs = 3000;

// Statuses the port documents for its requests; pass-through requests and
// control messages add what merrow and the bus return.
const std::set<NTSTATUS> kPortStatuses = {
    STATUS_SUCCESS,         STATUS_CANCELLED,      STATUS_INVALID_PARAMETER,     STATUS_DELETE_PENDING,
    STATUS_NO_SUCH_DEVICE,  STATUS_NOT_SUPPORTED,  STATUS_INSUFFICIENT_RESOURCES, STATUS_BUFFER_TOO_SMALL,
    STATUS_INVALID_HANDLE,
};
const std::set<NTSTATUS> kOpenStatuses = {STATUS_SUCCESS, STATUS_ACCESS_DENIED, STATUS_NO_SUCH_DEVICE,
                                          STATUS_DELETE_PENDING, STATUS_INSUFFICIENT_RESOURCES};

enum class Kind { Control, Read, Write };
const char* KindName(Kind kind) { return kind == Kind::Control ? "control" : kind == Kind::Read ? "read" : "write"; }

// The serial codes are functions 1 to 39 of device type 0x1B, the port's
// private ones 200 to 202; the rest are codes the port does not know, near
// its own and anywhere.
uint32_t ControlCode(Input& input) {
  uint8_t pick = input.Byte();
  if (pick < 156) return CTL_CODE(FILE_DEVICE_SERIAL_PORT, pick % 39 + 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
  if (pick < 180) return CTL_CODE(FILE_DEVICE_SERIAL_PORT, 200 + pick % 3, METHOD_BUFFERED, FILE_ANY_ACCESS);
  if (pick < 230) return CTL_CODE(FILE_DEVICE_SERIAL_PORT, input.Byte(), input.Byte() & 3, FILE_ANY_ACCESS);
  return (uint32_t)input.Word() << 16 | input.Word();
}

uint32_t BufferLength(Input& input) {
  static const uint32_t lengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 15, 16, 19, 20, 24, 63, 64, 65, 4096};
  return ByteChosenLength(input, lengths, 0xF0);
}

uint32_t TransferLength(Input& input) {
  static const uint32_t lengths[] = {0, 1, 2, 15, 16, 63, 64, 65, 255, 256, 511, 512, 4095, 4096, 4097, 16384};
  return WordChosenLength(input, lengths, 2048);
}

void CheckStatus(NTSTATUS status, Kind kind, uint32_t code) {
  if (status == STATUS_PENDING || kPortStatuses.count(status)) return;
  if (kind == Kind::Control)
    Finding("control code 0x%08X completed with 0x%08X, a status the port does not document", code, (unsigned)status);
  Finding("a %s completed with 0x%08X, a status the port does not document", KindName(kind), (unsigned)status);
}

// A request the session started, with what it needs for the checks.
struct Started {
  std::unique_ptr<Request> request;
  Kind kind;
  uint32_t code;
  uint32_t room;  // bytes the output (read or control) could take
  uint32_t bytes; // bytes a write gave
  bool open = true;
};

class Session {
 public:
  explicit Session(PortMachine& machine) : machine_(machine) { slots_.fill(win32::INVALID_HANDLE_VALUE); }
  void RunOperation(Input& input);
  void End();

 private:
  HANDLE& Slot(Input& input) { return slots_[input.Byte() % kSlots]; }
  void Open(HANDLE& file);
  void Close(HANDLE& file);
  void Issue(HANDLE file, Kind kind, Input& input);
  void Control(HANDLE file, uint32_t code, std::vector<uint8_t> in, uint32_t outLength);
  void Track(std::unique_ptr<Request> request, Kind kind, uint32_t code, uint32_t room, uint32_t bytes);
  void Check(const Started& started);
  void Reap();
  void CancelOldest();
  void WaitFor(Started& started, const char* after);
  void FarEndSends(Input& input);

  PortMachine& machine_;
  std::array<HANDLE, kSlots> slots_;
  std::deque<Started> requests_;
};

void Session::Open(HANDLE& file) {
  Close(file);
  file = machine_.Open();
  if (file == win32::INVALID_HANDLE_VALUE && !kOpenStatuses.count(win32::LastNtStatus()))
    Finding("an open of the port failed with 0x%08X, a status the port does not document",
            (unsigned)win32::LastNtStatus());
}

// The close's cleanup ends every request of the handle.
void Session::Close(HANDLE& file) {
  if (file == win32::INVALID_HANDLE_VALUE) return;
  win32::CloseHandle(file);
  for (Started& started : requests_)
    if (started.request->File() == file && started.open) {
      started.open = false;
      WaitFor(started, "its handle was closed");
    }
  file = win32::INVALID_HANDLE_VALUE;
  Reap();
}

void Session::WaitFor(Started& started, const char* after) {
  if (!started.request->WaitDone(kCompletionBoundMs))
    Finding("a %s (code 0x%08X) was still pending %u ms after %s", KindName(started.kind), started.code,
            (unsigned)kCompletionBoundMs, after);
  Check(started);
}

void Session::Check(const Started& started) {
  CheckStatus(started.request->Status(), started.kind, started.code);
  DWORD got = started.request->Transferred();
  if (started.kind != Kind::Write && got > started.room)
    Finding("a %s (code 0x%08X) returned %u bytes into a %u-byte buffer", KindName(started.kind), started.code,
            (unsigned)got, (unsigned)started.room);
  if (started.kind == Kind::Write && got > started.bytes)
    Finding("a write of %u bytes reported %u written", (unsigned)started.bytes, (unsigned)got);
  // A buffered request's output beyond what it returned is left as it was.
  if (started.kind == Kind::Control && (started.code & 3) == METHOD_BUFFERED) {
    const std::vector<uint8_t>& out = started.request->Output();
    for (size_t at = got; at < out.size(); ++at)
      if (out[at] != 0xA5) Finding("control code 0x%08X changed output byte %zu past the %u it returned",
                                   started.code, at, (unsigned)got);
  }
}

void Session::Track(std::unique_ptr<Request> request, Kind kind, uint32_t code, uint32_t room, uint32_t bytes) {
  Started started{std::move(request), kind, code, room, bytes};
  if (!started.request->Pending()) {
    started.request->Finish(false);
    Check(started);
    return;
  }
  requests_.push_back(std::move(started));
}

void Session::Control(HANDLE file, uint32_t code, std::vector<uint8_t> in, uint32_t outLength) {
  if (code == IOCTL_SERIAL_IMMEDIATE_CHAR && !in.empty()) machine_.Wrote(1);
  auto request = std::make_unique<Request>(file);
  request->Control(code, std::move(in), outLength);
  Track(std::move(request), Kind::Control, code, outLength, 0);
}

void Session::Issue(HANDLE file, Kind kind, Input& input) {
  if (requests_.size() >= kOutstanding) CancelOldest();
  if (kind == Kind::Control) {
    uint32_t code = ControlCode(input);
    uint32_t inLength = BufferLength(input), outLength = BufferLength(input);
    std::vector<uint8_t> in = input.Bytes(inLength < 32 ? inLength : 32);
    in.resize(inLength);
    Control(file, code, std::move(in), outLength);
    return;
  }
  uint32_t length = TransferLength(input);
  auto request = std::make_unique<Request>(file);
  if (kind == Kind::Read) {
    request->Read(length);
    Track(std::move(request), kind, 0, length, 0);
    return;
  }
  std::vector<uint8_t> data(length);
  uint8_t seed = input.Byte();
  for (uint32_t at = 0; at < length; ++at) data[at] = (uint8_t)(seed + at);
  machine_.Wrote(length);
  request->Write(std::move(data));
  Track(std::move(request), kind, 0, 0, length);
}

// Drops the requests that have completed, checking each.
void Session::Reap() {
  for (auto it = requests_.begin(); it != requests_.end();) {
    if (it->request->Pending()) {
      ++it;
      continue;
    }
    WaitFor(*it, "its status was set");
    it = requests_.erase(it);
  }
}

// Reads and the immediate character have no cancel routine: CancelIo does
// not end them; a purge (or the handle's cleanup) does. Returns the purge
// mask that ends `started`, 0 for requests CancelIo ends.
uint8_t PurgeThatEnds(const Started& started) {
  if (started.kind == Kind::Read) return SERIAL_PURGE_RXABORT;
  if (started.kind == Kind::Control && started.code == IOCTL_SERIAL_IMMEDIATE_CHAR) return SERIAL_PURGE_TXABORT;
  return 0;
}

// Ends the oldest request and waits for it.
void Session::CancelOldest() {
  Reap();
  if (requests_.empty()) return;
  Started& oldest = requests_.front();
  uint8_t purge = PurgeThatEnds(oldest);
  if (oldest.open && purge)
    Control(oldest.request->File(), IOCTL_SERIAL_PURGE, {purge, 0, 0, 0}, 4);
  else if (oldest.open)
    win32::CancelIo(oldest.request->File());
  WaitFor(oldest, purge ? "its handle was purged" : "it was cancelled");
  requests_.pop_front();
  Reap();
}

void Session::FarEndSends(Input& input) {
  uint32_t length = TransferLength(input);
  size_t room = machine_.Adapter().PeerRoom();
  if (length > room) length = (uint32_t)room;
  std::vector<uint8_t> bytes(length);
  uint8_t seed = input.Byte();
  for (uint32_t at = 0; at < length; ++at) bytes[at] = (uint8_t)(seed + at);
  machine_.Adapter().PeerSend(bytes);
}

// Opcodes: 0 open, 1 close, 2 control code, 3 read, 4 write, 5 CancelIo,
// 6 the far end sends, 7 the far end sets its modem lines, 8 let the machine
// run some milliseconds and reap, 9 purge with a mask, 10 set a wait mask
// and wait on it, 11 read timeouts.
void Session::RunOperation(Input& input) {
  uint8_t op = input.Byte() % 12;
  HANDLE& file = Slot(input);
  bool open = file != win32::INVALID_HANDLE_VALUE;
  switch (op) {
    case 0: Open(file); break;
    case 1: Close(file); break;
    case 2: if (open) Issue(file, Kind::Control, input); break;
    case 3: if (open) Issue(file, Kind::Read, input); break;
    case 4: if (open) Issue(file, Kind::Write, input); break;
    case 5: if (open) win32::CancelIo(file); break;
    case 6: FarEndSends(input); break;
    case 7: machine_.Adapter().PeerSetLines(input.Byte() & 0x1F); break;
    case 8:
      machine_.Run(input.Byte());
      machine_.TakeFarEnd();
      Reap();
      break;
    case 9:
      if (open) Control(file, IOCTL_SERIAL_PURGE, {(uint8_t)(input.Byte() & 0xF), 0, 0, 0}, 4);
      break;
    case 10:
      if (open) {
        uint16_t mask = input.Word() & 0x1FFF;
        Control(file, IOCTL_SERIAL_SET_WAIT_MASK, {(uint8_t)mask, (uint8_t)(mask >> 8), 0, 0}, 0);
        Control(file, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
      }
      break;
    case 11:
      if (open) {
        // Interval, multiplier, constant in milliseconds (0xFF: MAXULONG); write timeouts 0.
        std::vector<uint8_t> in(20, 0);
        for (int field = 0; field < 3; ++field) {
          uint8_t value = input.Byte();
          uint32_t ms = value == 0xFF ? 0xFFFFFFFFu : value;
          for (int b = 0; b < 4; ++b) in[field * 4 + b] = (uint8_t)(ms >> (8 * b));
        }
        Control(file, IOCTL_SERIAL_SET_TIMEOUTS, std::move(in), 0);
      }
      break;
  }
}

// The requests on open handles that CancelIo ends are cancelled and waited
// for, then every handle is closed, which ends the rest.
void Session::End() {
  for (HANDLE file : slots_)
    if (file != win32::INVALID_HANDLE_VALUE) win32::CancelIo(file);
  for (Started& started : requests_)
    if (started.open && !PurgeThatEnds(started)) WaitFor(started, "it was cancelled");
  for (HANDLE& file : slots_) Close(file);
  requests_.clear();
  machine_.TakeFarEnd();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  PortMachine& machine = PortMachine::Get();
  machine.AddPort(input.Byte() & 3);
  {
    Session session(machine);
    for (size_t n = 0; n < kOperations && !input.Empty(); ++n) session.RunOperation(input);
    session.End();
  }
  machine.RemovePort();
  return 0;
}

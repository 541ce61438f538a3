// Racing clients: an adapter (a variant chosen by the input) is plugged in
// and started, then the input is decoded into a sequence of application
// operations on merrow's files: opens of well-formed and malformed pipe
// names, closes, private control codes with chosen buffer lengths and
// contents, overlapped reads and writes of chosen lengths (isochronous ones
// scheduled at a frame), cancellation, and letting the machine run. At the
// end every request still pending is cancelled, every handle closed and the
// device pulled out; merrow must then have completed every request and
// unload without leaving anything behind.
//
// Input: byte 0 the adapter variant, then operations, each an opcode byte
// followed by its arguments (see RunOperation).
#include <cstring>
#include <array>
#include <deque>

#include "common/pipeif.h"
#include "fuzz/fuzz_kit.h"

using namespace fuzzkit;

namespace {

constexpr size_t kSlots = 8;          // handles an input can hold at once
constexpr size_t kOutstanding = 16;   // requests left pending at once
constexpr size_t kOperations = 64;    // operations per input

std::u16string Wide(const char* text) { return std::u16string(text, text + std::strlen(text)); }

// Names: the forms merrow knows, wrong lengths, wrong digits, and free text.
std::u16string PipeName(Input& input) {
  static const char* const known[] = {
      "",         "\\PIPE00", "\\PIPE01", "\\PIPE02", "\\PIPE03", "\\PIPE04", "\\PIPE05", "\\PIPE06",
      "\\EP01",   "\\EP02",   "\\EP03",   "\\EP04",   "\\EP05",   "\\EA01",   "\\EA82",   "\\EA83",
      "\\EA85",   "\\ep82",   "\\pipe01", "\\PIPE",   "\\PIPE0",  "\\PIPEFF", "\\EP 1",   "\\EP-1",
      "\\PIPE0G", "\\EP0102", "\\EA",     "\\EA+2",   "\\PIPE 1", "\\EP00",   "\\EA00",
  };
  constexpr size_t kKnown = sizeof known / sizeof known[0];
  uint8_t pick = input.Byte();
  if (pick < 0xE0) return Wide(known[pick % kKnown]);
  static const char alphabet[] = "PIEAp0123456789ABCDEFxX -+\\";
  std::u16string name = u"\\";
  for (int n = pick & 7; n > 0; --n) name += (char16_t)alphabet[input.Byte() % (sizeof alphabet - 1)];
  return name;
}

uint32_t ControlCode(Input& input) {
  uint8_t pick = input.Byte();
  std::vector<uint32_t> codes = ControlCodes();
  if (pick % 16 < codes.size()) return codes[pick % 16];
  if (pick % 16 == 13) return PIPE_CTL_CODE(13);
  if (pick % 16 == 14) return CTL_CODE(FILE_DEVICE_PIPE_DRIVER, 2, METHOD_NEITHER, FILE_ANY_ACCESS);
  return 0x00220000u | (uint32_t)input.Byte() << 2;
}

uint32_t BufferLength(Input& input) {
  static const uint32_t lengths[] = {0, 1, 2, 3, 4, 7, 8, 9, 10, 16, 19, 20, 23, 24, 39, 64, 255, 521, 4096, 65535};
  return ByteChosenLength(input, lengths, 0xC0);
}

// At most 64 KB: with 8-byte packets that is 8192 segments, enough to show
// a chain of segments growing the stack; a megabyte took seconds per input.
uint32_t TransferLength(Input& input) {
  static const uint32_t lengths[] = {0, 1, 7, 8, 9, 63, 64, 65, 191, 192, 193, 4095, 4096, 4097, 32768, 65536};
  return WordChosenLength(input, lengths, 9000);
}

// The adapter variants: which endpoints follow the two bulk ones.
sim::usb::AdapterConfig Variant(uint8_t pick) {
  sim::usb::AdapterConfig config;
  config.speed = (pick & 1) ? sim::usb::Speed::High : sim::usb::Speed::Full;
  config.statusEndpoint = !(pick & 2);
  config.controlAndIsochronous = (pick & 4) != 0;
  config.extraInterfaces = (pick >> 3) & 1;
  config.bulkPacket = (pick & 0x10) ? 8 : 0;
  return config;
}

class Session {
 public:
  explicit Session(FuzzMachine& machine) : machine_(machine) { slots_.fill(win32::INVALID_HANDLE_VALUE); }
  void RunOperation(Input& input);
  void End();

 private:
  HANDLE& Slot(Input& input) { return slots_[input.Byte() % kSlots]; }
  void Start(HANDLE file, Input& input, uint8_t kind);
  void Reap(bool cancelOldest);
  void Close(HANDLE& file);

  // A request left pending, and whether its handle is still open (only
  // then can it be cancelled: merrow has no cleanup that would end it).
  struct Outstanding {
    std::unique_ptr<Request> request;
    bool open = true;
  };

  FuzzMachine& machine_;
  std::array<HANDLE, kSlots> slots_;
  std::deque<Outstanding> requests_;
};

// A device-control request must not claim more output than there was room for.
void CheckOutput(const Request& request, uint32_t outLength, uint32_t code) {
  if (request.Transferred() > outLength)
    Finding("control code 0x%08X returned %u bytes into a %u-byte buffer", code, (unsigned)request.Transferred(),
            outLength);
}

void Session::Start(HANDLE file, Input& input, uint8_t kind) {
  if (requests_.size() >= kOutstanding) Reap(true);
  if (requests_.size() >= kOutstanding) return;
  auto request = std::make_unique<Request>(file);
  if (kind == 0) {
    uint32_t code = ControlCode(input);
    uint32_t inLength = BufferLength(input), outLength = BufferLength(input);
    std::vector<uint8_t> in = input.Bytes(inLength);
    in.resize(inLength);
    // One cycle per input: the hub's second one could come after the unplug.
    if (code == IOCTL_PIPE_CYCLE_PORT && machine_.CyclePending()) return;
    PDEVICE_OBJECT pdo = machine_.Usb().Pdo(machine_.Port());
    request->Control(code, std::move(in), outLength);
    NTSTATUS status = request->Finish(false);  // merrow finishes every code before returning
    if (NT_SUCCESS(status)) CheckOutput(*request, outLength, code);
    if (NT_SUCCESS(status) && code == IOCTL_PIPE_CYCLE_PORT) machine_.NoteCycle(pdo);
    return;
  }
  uint32_t length = TransferLength(input);
  if (kind == 1) request->Read(length);
  if (kind == 2) request->Write(std::vector<uint8_t>(length, input.Byte()));
  if (kind == 3) request->Read(length, input.Byte());
  requests_.push_back({std::move(request), true});
}

// Drops the requests that have finished; with `cancelOldest`, first cancels
// and waits for the oldest one that can still be cancelled.
void Session::Reap(bool cancelOldest) {
  for (auto it = requests_.begin(); cancelOldest && it != requests_.end(); ++it) {
    if (!it->open) continue;
    it->request->Finish(true);
    requests_.erase(it);
    break;
  }
  for (auto it = requests_.begin(); it != requests_.end();) {
    if (it->request->Pending()) {
      ++it;
      continue;
    }
    it->request->Finish(false);
    it = requests_.erase(it);
  }
}

void Session::Close(HANDLE& file) {
  if (file == win32::INVALID_HANDLE_VALUE) return;
  for (Outstanding& pending : requests_)
    if (pending.request->File() == file) pending.open = false;
  win32::CloseHandle(file);
  file = win32::INVALID_HANDLE_VALUE;
}

// Opcodes: 0 open, 1 close, 2 control code, 3 read, 4 write, 5 cancel the
// slot's requests, 6 let the machine run and reap, 7 isochronous read at a frame.
void Session::RunOperation(Input& input) {
  uint8_t op = input.Byte() % 8;
  HANDLE& file = Slot(input);
  switch (op) {
    case 0:
      Close(file);
      file = machine_.Open(PipeName(input));
      break;
    case 1: Close(file); break;
    case 2:
    case 3:
    case 4:
    case 7:
      if (file != win32::INVALID_HANDLE_VALUE) Start(file, input, op == 2 ? 0 : op == 3 ? 1 : op == 4 ? 2 : 3);
      break;
    case 5:
      if (file != win32::INVALID_HANDLE_VALUE) win32::CancelIo(file);
      break;
    case 6:
      machine_.Settle();
      Reap(false);
      break;
  }
}

// Requests on open handles are cancelled and waited for; the handles closed;
// the device pulled out, which ends what a closed file left pending.
void Session::End() {
  for (Outstanding& pending : requests_)
    if (pending.open) pending.request->Finish(true);
  for (HANDLE& file : slots_) Close(file);
  machine_.Unplug();
  for (Outstanding& pending : requests_) pending.request->Finish(false);
  requests_.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  auto adapter = std::make_shared<sim::usb::SerialAdapter>(Variant(input.Byte()));
  adapter->WireLoopback();
  FuzzMachine& machine = FuzzMachine::Get();
  if (!machine.Plug(adapter)) Finding("the adapter did not start");
  Session session(machine);
  for (size_t n = 0; n < kOperations && !input.Empty(); ++n) session.RunOperation(input);
  session.End();
  return 0;
}

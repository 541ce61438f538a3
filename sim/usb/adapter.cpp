#include "sim/usb/adapter.h"

#include <algorithm>
#include <mutex>

namespace sim::usb {

namespace {

constexpr ULONG kShortRates[] = {9600, 19200, 38400, 115200};
constexpr ULONG kLongRates[] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};

std::optional<LineSettings> ShortForm(UCHAR b) {
  LineSettings line;
  line.baud = kShortRates[b & 0x03];
  line.dataBits = (b & 0x04) ? 8 : 7;
  line.stopBits = (b & 0x08) ? 2 : 1;
  if ((b & 0x10) && (b & 0x20)) return std::nullopt;  // even and odd at once
  line.parity = (b & 0x10) ? LineSettings::Parity::Even : (b & 0x20) ? LineSettings::Parity::Odd : LineSettings::Parity::None;
  line.hardwareFlow = (b & 0x40) != 0;
  line.softwareFlow = (b & 0x80) != 0;
  return line;
}

std::optional<LineSettings> LongForm(UCHAR code, UCHAR b) {
  if (code >= std::size(kLongRates) || (b & 0xC0) || ((b & 0x04) && (b & 0x08))) return std::nullopt;
  LineSettings line;
  line.baud = kLongRates[code];
  line.dataBits = (b & 0x01) ? 8 : 7;
  line.stopBits = (b & 0x02) ? 2 : 1;
  line.parity = (b & 0x04) ? LineSettings::Parity::Even : (b & 0x08) ? LineSettings::Parity::Odd : LineSettings::Parity::None;
  line.hardwareFlow = (b & 0x10) != 0;
  line.softwareFlow = (b & 0x20) != 0;
  return line;
}

}  // namespace

std::optional<LineSettings> ParseLineSettings(std::span<const uint8_t> m) {
  if (m.empty() || m[0] != kMsgLineSettings) return std::nullopt;
  if (m.size() == 2) return ShortForm(m[1]);
  if (m.size() == 3) return LongForm(m[1], m[2]);
  return std::nullopt;
}

SerialAdapter::SerialAdapter(AdapterConfig config)
    : config_(std::move(config)), descriptors_(AdapterDescriptors(config_)), uart_(config_.receiveFifo, config_.transmitFifo) {
  std::weak_ptr<bool> alive = alive_;
  Uart::Hooks hooks;
  hooks.now = [this] { return Now(); };
  hooks.schedule = [this, alive](Tick due, std::function<void()> action) {
    if (!Link()) return action();
    Link()->ScheduleAt(due, [alive, action = std::move(action)] {
      if (alive.lock()) action();
    });
  };
  hooks.received = [this] { Notify(); };
  hooks.transmitted = [this] { Notify(); };
  hooks.linesChanged = [this] { LinesChanged(); };
  hooks.scriptOutput = [this] {
    if (peerListener_) peerListener_();
  };
  uart_.SetHooks(std::move(hooks));
  uart_.SetPacing(config_.pacing);
  uart_.WireLoopback();
}

SerialAdapter::~SerialAdapter() = default;

void SerialAdapter::LinesChanged() {
  reportPending_ = true;
  Notify();
}

// Whether the message is one the adapter's variant understands.
bool SerialAdapter::Speaks(std::span<const uint8_t> m) const {
  int variant = config_.variant;
  if (variant < 0) return true;
  switch (m[0]) {
    case kMsgLineSettings: return variant == 3 ? m.size() == 3 : variant != 0 && m.size() == 2;
    case kMsgPortState: return variant == 3;
    default: return true;
  }
}

// A control message: applies it and says whether the adapter takes it.
bool SerialAdapter::Apply(std::span<const uint8_t> m) {
  if (m.empty() || !Speaks(m)) return false;
  switch (m[0]) {
    case kMsgLineSettings: {
      std::optional<LineSettings> line = ParseLineSettings(m);
      if (line) uart_.SetLine(*line);
      return line.has_value();
    }
    case kMsgModemControl:
      if (m.size() != 2) return false;
      modemControl_ = m[1] & 0x07;
      uart_.SetOutputs(modemControl_ & 0x01, modemControl_ & 0x02, modemControl_ & 0x04);
      return true;
    case kMsgFlowChars:
      if (m.size() != 3) return false;
      xon_ = m[1];
      xoff_ = m[2];
      return true;
    case kMsgPortState:
      if (m.size() != 2 || m[1] > 1) return false;
      portOpen_ = m[1] == 1;
      if (portOpen_) Notify();  // data held back while closed may move now
      return true;
    case kMsgErrorChar:
      if (m.size() != 3 || m[1] > 1) return false;
      errorCharEnabled_ = m[1] == 1;
      errorChar_ = m[2];
      return true;
    default: return false;
  }
}

PacketResult SerialAdapter::Control(const SetupPacket& setup, std::span<uint8_t> data) {
  std::lock_guard guard(ModelLock());
  if (setup.requestType != kAdapterRequestType || setup.request != kAdapterRequest) return {Handshake::Stall, 0};
  std::span<const uint8_t> message(data.data(), std::min<size_t>(data.size(), setup.length));
  AdapterMessage logged{std::vector<uint8_t>(message.begin(), message.end()), Apply(message)};
  messages_.push_back(logged);
  return {logged.accepted ? Handshake::Ack : Handshake::Stall, 0};
}

PacketResult SerialAdapter::In(UCHAR endpoint, std::span<uint8_t> packet) {
  std::lock_guard guard(ModelLock());
  if (endpoint == 0x82) {
    if (!DataMoves()) return {Handshake::Nak, 0};
    size_t n = uart_.Receive(packet);
    return {n ? Handshake::Ack : Handshake::Nak, n};
  }
  if (endpoint == 0x83 && config_.statusEndpoint) {
    if (!reportPending_ || packet.empty()) return {Handshake::Nak, 0};
    reportPending_ = false;
    packet[0] = uart_.InputLines();
    return {Handshake::Ack, 1};
  }
  if (endpoint == 0x85 && config_.controlAndIsochronous) return {Handshake::Ack, 0};
  return {Handshake::Nak, 0};
}

Handshake SerialAdapter::Out(UCHAR endpoint, std::span<const uint8_t> packet) {
  std::lock_guard guard(ModelLock());
  if (endpoint != 0x01) return Handshake::Ack;  // the other interfaces' endpoints drop their data
  if (!DataMoves() || uart_.TransmitRoom() < packet.size()) return Handshake::Nak;
  uart_.Transmit(packet);
  return Handshake::Ack;
}

void SerialAdapter::Configured(UCHAR value) {
  std::lock_guard guard(ModelLock());
  // A freshly configured adapter reports its lines once, so the host learns them.
  reportPending_ = value != 0;
}

// A reset adapter forgets what the host told it: the port is closed, the
// output lines are down and the UART runs at its power-on settings.
void SerialAdapter::BusReset() {
  std::lock_guard guard(ModelLock());
  portOpen_ = false;
  modemControl_ = 0;
  uart_.ClearFifos();  // what it held is gone with the reset, not sent under the reset line settings
  uart_.SetOutputs(false, false, false);
  uart_.SetLine(LineSettings{});
  xon_ = 0x11;
  xoff_ = 0x13;
  errorChar_ = 0;
  errorCharEnabled_ = false;
}

LineSettings SerialAdapter::Line() {
  std::lock_guard guard(ModelLock());
  return uart_.Line();
}

UCHAR SerialAdapter::ModemControl() {
  std::lock_guard guard(ModelLock());
  return modemControl_;
}

bool SerialAdapter::PortOpen() {
  std::lock_guard guard(ModelLock());
  return portOpen_;
}

UCHAR SerialAdapter::XonChar() {
  std::lock_guard guard(ModelLock());
  return xon_;
}

UCHAR SerialAdapter::XoffChar() {
  std::lock_guard guard(ModelLock());
  return xoff_;
}

bool SerialAdapter::ErrorCharEnabled() {
  std::lock_guard guard(ModelLock());
  return errorCharEnabled_;
}

UCHAR SerialAdapter::ErrorChar() {
  std::lock_guard guard(ModelLock());
  return errorChar_;
}

std::vector<AdapterMessage> SerialAdapter::Messages() {
  std::lock_guard guard(ModelLock());
  return messages_;
}

UCHAR SerialAdapter::ModemStatus() {
  std::lock_guard guard(ModelLock());
  return uart_.InputLines();
}

uint64_t SerialAdapter::Overruns() {
  std::lock_guard guard(ModelLock());
  return uart_.Overruns();
}

size_t SerialAdapter::Buffered() {
  std::lock_guard guard(ModelLock());
  return uart_.ReceivedCount();
}

void SerialAdapter::WireLoopback() {
  std::lock_guard guard(ModelLock());
  uart_.WireLoopback();
}

void SerialAdapter::WireNullModem(SerialAdapter& a, SerialAdapter& b) {
  std::lock_guard guardA(a.ModelLock());
  std::lock_guard guardB(b.ModelLock());
  Uart::WireNullModem(a.uart_, b.uart_);
}

void SerialAdapter::WireScript() {
  std::lock_guard guard(ModelLock());
  uart_.WireScript();
}

void SerialAdapter::PeerSend(std::span<const uint8_t> bytes) {
  std::lock_guard guard(ModelLock());
  uart_.WireIn(bytes);
}

void SerialAdapter::PeerSetLines(UCHAR lines) {
  std::lock_guard guard(ModelLock());
  uart_.WireInputs(lines & 0x0F);
}

std::vector<uint8_t> SerialAdapter::PeerTake() {
  std::lock_guard guard(ModelLock());
  return uart_.TakeScriptOutput();
}

void SerialAdapter::SetPeerListener(std::function<void()> listener) {
  std::lock_guard guard(ModelLock());
  peerListener_ = std::move(listener);
}

size_t SerialAdapter::PeerRoom() {
  std::lock_guard guard(ModelLock());
  return config_.receiveFifo - std::min(config_.receiveFifo, uart_.ReceivedCount());
}

bool SerialAdapter::Rts() {
  std::lock_guard guard(ModelLock());
  return uart_.Rts();
}

bool SerialAdapter::Dtr() {
  std::lock_guard guard(ModelLock());
  return uart_.Dtr();
}

}  // namespace sim::usb

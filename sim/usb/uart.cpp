#include "sim/usb/uart.h"

#include <algorithm>

namespace sim::usb {

namespace {

// At most this much line time goes into one delivery, so that paced bytes
// arrive in small groups rather than one transfer at a time.
constexpr Tick kBurstTicks = kTicksPerMs;

// The receive FIFO level at which hardware flow control drops RTS.
size_t HighWater(size_t capacity) { return capacity > 32 ? capacity - 16 : capacity / 2; }

}  // namespace

// A null-modem partner outliving this UART is left with its line open.
Uart::~Uart() {
  if (partner_ && partner_->partner_ == this) partner_->partner_ = nullptr;
}

void Uart::SetLine(const LineSettings& line) {
  line_ = line;
  OutputsChanged();
  Pump();
}

bool Uart::EffectiveRts() const {
  return rts_ && (!line_.hardwareFlow || rx_.size() < HighWater(rxCapacity_));
}

void Uart::SetOutputs(bool rts, bool dtr, bool breakOn) {
  rts_ = rts;
  dtr_ = dtr;
  break_ = breakOn;
  OutputsChanged();
}

// The far end sees this UART's outputs on its inputs.
void Uart::OutputsChanged() {
  UCHAR seen = (EffectiveRts() ? kLineCts : 0) | (dtr_ ? kLineDsr | kLineDcd : 0);
  if (farEnd_ == FarEnd::Loopback) WireInputs(seen);
  else if (farEnd_ == FarEnd::NullModem && partner_) partner_->WireInputs(seen);
}

void Uart::WireInputs(UCHAR lines) {
  if (lines == inputs_) return;
  inputs_ = lines;
  if (hooks_.linesChanged) hooks_.linesChanged();
  Pump();  // CTS may have let the transmitter go on
}

void Uart::WireLoopback() {
  farEnd_ = FarEnd::Loopback;
  partner_ = nullptr;
  OutputsChanged();
}

void Uart::WireNullModem(Uart& a, Uart& b) {
  a.farEnd_ = b.farEnd_ = FarEnd::NullModem;
  a.partner_ = &b;
  b.partner_ = &a;
  a.OutputsChanged();
  b.OutputsChanged();
}

void Uart::WireScript() {
  farEnd_ = FarEnd::Script;
  partner_ = nullptr;
}

void Uart::ClearFifos() {
  tx_.clear();
  rx_.clear();
}

void Uart::Transmit(std::span<const uint8_t> bytes) {
  tx_.insert(tx_.end(), bytes.begin(), bytes.end());
  Pump();
}

size_t Uart::Receive(std::span<uint8_t> out) {
  size_t n = std::min(out.size(), rx_.size());
  std::copy_n(rx_.begin(), n, out.begin());
  rx_.erase(rx_.begin(), rx_.begin() + n);
  if (n && line_.hardwareFlow) OutputsChanged();  // RTS may rise again
  return n;
}

void Uart::WireIn(std::span<const uint8_t> bytes) {
  for (uint8_t byte : bytes) {
    if (rx_.size() < rxCapacity_) rx_.push_back(byte);
    else ++overruns_;
  }
  if (line_.hardwareFlow) OutputsChanged();
  if (!bytes.empty() && hooks_.received) hooks_.received();
}

std::vector<uint8_t> Uart::TakeScriptOutput() {
  std::vector<uint8_t> out;
  out.swap(scriptOutput_);
  return out;
}

void Uart::Deliver(std::vector<uint8_t> bytes) {
  switch (farEnd_) {
    case FarEnd::Loopback: WireIn(bytes); break;
    case FarEnd::NullModem:
      if (partner_) partner_->WireIn(bytes);
      break;
    case FarEnd::Script:
      scriptOutput_.insert(scriptOutput_.end(), bytes.begin(), bytes.end());
      if (hooks_.scriptOutput) hooks_.scriptOutput();
      break;
  }
}

// When byte `index` of the current burst has fully left, counted exactly in
// bits so that long runs keep the configured rate.
Tick Uart::ByteDeparture(uint64_t index) const {
  uint64_t bits = (index + 1) * (uint64_t)line_.FrameBits();
  ULONG baud = line_.baud ? line_.baud : 9600;
  return burstStart_ + (Tick)((bits * (uint64_t)kTicksPerSecond + baud - 1) / baud);
}

bool Uart::ClearToSend() const { return !line_.hardwareFlow || (inputs_ & kLineCts); }

// Moves bytes from the transmit FIFO onto the wire: at once, or paced and
// delivered to the far end in small groups as they finish leaving.
void Uart::Pump() {
  if (pumping_) return;
  if (tx_.empty() || !ClearToSend()) return;
  if (!pacing_ || !hooks_.now || !hooks_.schedule) {
    // As on hardware, CTS is looked at before each character: with hardware
    // flow the bytes go one at a time, so a far end (the loopback plug's own
    // receive FIFO included) that drops CTS stops the very next one.
    pumping_ = true;
    while (!tx_.empty() && ClearToSend()) {
      size_t n = line_.hardwareFlow ? 1 : tx_.size();
      std::vector<uint8_t> bytes(tx_.begin(), tx_.begin() + (long)n);
      tx_.erase(tx_.begin(), tx_.begin() + (long)n);
      Deliver(std::move(bytes));
    }
    pumping_ = false;
    if (hooks_.transmitted) hooks_.transmitted();
    return;
  }
  Tick now = hooks_.now();
  if (burstSent_ == 0 || ByteDeparture(burstSent_ - 1) < now) {  // the line was idle: a new burst
    burstStart_ = now;
    burstSent_ = 0;
  }
  std::vector<uint8_t> bytes;
  Tick limit = std::max(now, burstSent_ ? ByteDeparture(burstSent_ - 1) : now) + kBurstTicks;
  while (!tx_.empty() && (bytes.empty() || ByteDeparture(burstSent_) <= limit)) {
    bytes.push_back(tx_.front());
    tx_.pop_front();
    ++burstSent_;
  }
  pumping_ = true;
  hooks_.schedule(ByteDeparture(burstSent_ - 1), [this, bytes = std::move(bytes)]() mutable {
    pumping_ = false;
    Deliver(std::move(bytes));
    if (hooks_.transmitted) hooks_.transmitted();
    Pump();
  });
}

}  // namespace sim::usb

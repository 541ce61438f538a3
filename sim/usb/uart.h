// The serial side of a USB-serial adapter: its UART with a transmit and a
// receive FIFO, its output lines (RTS, DTR, break) and input lines (CTS, DSR,
// DCD, RI), and what it is wired to: a loopback plug, a second adapter as a
// null modem, or a test acting as the far end byte by byte. With pacing on,
// bytes leave at the configured baud rate and frame format (115200 baud 8N1
// carries 11520 bytes a second); a receive FIFO nobody empties overflows and
// the bytes that do not fit are lost, as on hardware.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "sim/kernel/scheduler.h"

namespace sim::usb {

struct LineSettings {
  enum class Parity { None, Odd, Even };
  ULONG baud = 9600;
  UCHAR dataBits = 8;
  UCHAR stopBits = 1;
  Parity parity = Parity::None;
  bool hardwareFlow = false;
  bool softwareFlow = false;
  // Bits one character takes on the wire: start, data, parity, stop.
  int FrameBits() const { return 1 + dataBits + (parity == Parity::None ? 0 : 1) + stopBits; }
};

// The modem status byte's bits, as the adapter reports them.
enum : UCHAR { kLineCts = 0x01, kLineDsr = 0x02, kLineDcd = 0x04, kLineRi = 0x08 };

class Uart {
 public:
  struct Hooks {
    std::function<Tick()> now;
    std::function<void(Tick, std::function<void()>)> schedule;
    std::function<void()> received;       // bytes arrived in the receive FIFO
    std::function<void()> linesChanged;   // an input line changed
    std::function<void()> transmitted;    // the transmit FIFO has room again
    std::function<void()> scriptOutput;   // with a scripted far end: bytes wait in TakeScriptOutput
  };

  Uart(size_t receiveFifo, size_t transmitFifo) : rxCapacity_(receiveFifo), txCapacity_(transmitFifo) {}
  ~Uart();
  Uart(const Uart&) = delete;
  Uart& operator=(const Uart&) = delete;
  void SetHooks(Hooks hooks) { hooks_ = std::move(hooks); }
  void SetLine(const LineSettings& line);
  const LineSettings& Line() const { return line_; }
  void SetPacing(bool pacing) { pacing_ = pacing; }
  // Empties both FIFOs, as a reset of the adapter does.
  void ClearFifos();

  // The adapter's side.
  size_t TransmitRoom() const { return txCapacity_ - tx_.size(); }
  void Transmit(std::span<const uint8_t> bytes);
  size_t Receive(std::span<uint8_t> out);
  size_t ReceivedCount() const { return rx_.size(); }
  void SetOutputs(bool rts, bool dtr, bool breakOn);
  UCHAR InputLines() const { return inputs_; }
  bool Rts() const { return EffectiveRts(); }
  bool Dtr() const { return dtr_; }
  bool Break() const { return break_; }
  uint64_t Overruns() const { return overruns_; }

  // The wiring.
  void WireLoopback();
  static void WireNullModem(Uart& a, Uart& b);
  void WireScript();
  // The far end's side: bytes and line states arriving at this UART.
  void WireIn(std::span<const uint8_t> bytes);
  void WireInputs(UCHAR lines);
  // With a scripted far end: what this UART has put on the wire so far.
  std::vector<uint8_t> TakeScriptOutput();

 private:
  enum class FarEnd { Loopback, NullModem, Script };
  bool EffectiveRts() const;
  bool ClearToSend() const;
  void Pump();
  void Deliver(std::vector<uint8_t> bytes);
  void OutputsChanged();
  Tick ByteDeparture(uint64_t index) const;

  Hooks hooks_;
  LineSettings line_;
  bool pacing_ = false;
  size_t rxCapacity_, txCapacity_;
  std::deque<uint8_t> rx_, tx_;
  bool rts_ = false, dtr_ = false, break_ = false;
  UCHAR inputs_ = 0;
  uint64_t overruns_ = 0;
  FarEnd farEnd_ = FarEnd::Loopback;
  Uart* partner_ = nullptr;
  std::vector<uint8_t> scriptOutput_;
  // Pacing: bytes leave back to back from `burstStart_`; `burstSent_` have left.
  bool pumping_ = false;
  Tick burstStart_ = 0;
  uint64_t burstSent_ = 0;
};

}  // namespace sim::usb

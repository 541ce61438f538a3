// The default device: a USB-serial adapter. Its first interface is
// vendor-specific with a bulk OUT (0x01), a bulk IN (0x82) and an interrupt
// IN (0x83) endpoint, in that order. It takes its settings as vendor request
// 0x0B (request type 0x40) messages of two or three bytes, reports its modem
// lines as one status byte on the interrupt endpoint whenever they change
// (bit 0 CTS, bit 1 DSR, bit 2 DCD, bit 3 RI), and moves the bulk data
// through its UART (sim/usb/uart.h).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/usb/model.h"
#include "sim/usb/uart.h"

namespace sim::usb {

// The adapter and its variants.
struct AdapterConfig {
  USHORT vendor = 0x5E1A;
  USHORT product = 0x0C01;
  USHORT bcdDevice = 0x0100;
  std::u16string manufacturer = u"Simulated Devices";
  std::u16string productName = u"USB Serial Adapter";
  std::u16string serial = u"SIM0001";  // empty: no serial number string
  Speed speed = Speed::Full;
  USHORT bulkPacket = 0;               // 0: 64 at full speed, 512 at high speed
  USHORT interruptPacket = 8;
  bool statusEndpoint = true;          // false: no interrupt IN endpoint
  bool controlAndIsochronous = false;  // a control (0x04) and an isochronous IN (0x85) endpoint follow in the first interface
  int extraInterfaces = 0;             // vendor interfaces after the first, two bulk endpoints each
  size_t receiveFifo = 512;
  size_t transmitFifo = 256;
  bool pacing = false;                 // bytes leave at the configured baud rate
  bool remoteWakeup = false;           // the configuration offers remote wakeup
  // Which control messages the adapter takes: -1 every one; 0 to 3 only those
  // of that device variant (0: modem control, flow and error characters; 1 and
  // 2: also the two-byte line settings; 3: the three-byte line settings and
  // the port state instead, and its data moves only while the port is open).
  // It refuses (stalls) the others.
  int variant = -1;
};

// One control message as the adapter received it.
struct AdapterMessage {
  std::vector<uint8_t> bytes;
  bool accepted = false;
};

constexpr UCHAR kAdapterRequest = 0x0B;
constexpr UCHAR kAdapterRequestType = 0x40;
enum : UCHAR {
  kMsgLineSettings = 0x00, kMsgModemControl = 0x01, kMsgFlowChars = 0x02, kMsgPortState = 0x03, kMsgErrorChar = 0x04,
};

class SerialAdapter : public DeviceModel {
 public:
  explicit SerialAdapter(AdapterConfig config = {});
  ~SerialAdapter() override;

  Speed DeviceSpeed() const override { return config_.speed; }
  const DescriptorSet& Descriptors() const override { return descriptors_; }
  PacketResult Control(const SetupPacket& setup, std::span<uint8_t> data) override;
  PacketResult In(UCHAR endpoint, std::span<uint8_t> packet) override;
  Handshake Out(UCHAR endpoint, std::span<const uint8_t> packet) override;
  void Configured(UCHAR value) override;
  void BusReset() override;

  const AdapterConfig& Config() const { return config_; }

  // What the adapter holds, for tests.
  LineSettings Line();
  UCHAR ModemControl();   // bit 0 RTS, bit 1 DTR, bit 2 break
  bool PortOpen();
  UCHAR XonChar();
  UCHAR XoffChar();
  bool ErrorCharEnabled();
  UCHAR ErrorChar();
  std::vector<AdapterMessage> Messages();
  UCHAR ModemStatus();    // the status byte as it would report it now
  uint64_t Overruns();    // received bytes lost to a full FIFO
  size_t Buffered();      // received bytes waiting for the host

  // The serial side's wiring.
  void WireLoopback();
  static void WireNullModem(SerialAdapter& a, SerialAdapter& b);
  void WireScript();
  // A scripted far end: send bytes, set the adapter's input lines, take what it sent.
  void PeerSend(std::span<const uint8_t> bytes);
  void PeerSetLines(UCHAR lines);
  std::vector<uint8_t> PeerTake();
  // Called, with the adapter's lock held, whenever bytes the adapter sent
  // wait in PeerTake: a far end played by another thread wakes on it instead
  // of polling. It must not call back into the adapter.
  void SetPeerListener(std::function<void()> listener);
  // Room in the receive FIFO: a far end that must not overrun it sends at most this.
  size_t PeerRoom();
  bool Rts();
  bool Dtr();

 private:
  bool Apply(std::span<const uint8_t> message);
  bool Speaks(std::span<const uint8_t> message) const;
  bool DataMoves() const { return config_.variant != 3 || portOpen_; }
  void LinesChanged();

  AdapterConfig config_;
  DescriptorSet descriptors_;
  Uart uart_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  UCHAR modemControl_ = 0;
  bool portOpen_ = false;
  UCHAR xon_ = 0x11, xoff_ = 0x13, errorChar_ = 0;
  bool errorCharEnabled_ = false;
  bool reportPending_ = false;
  std::vector<AdapterMessage> messages_;
  std::function<void()> peerListener_;
};

// The descriptor tables of an adapter with `config` (adapter_descriptors.cpp).
DescriptorSet AdapterDescriptors(const AdapterConfig& config);

// The line settings a line-settings message carries (two- or three-byte form);
// nothing when the message is not one the adapter takes.
std::optional<LineSettings> ParseLineSettings(std::span<const uint8_t> message);

}  // namespace sim::usb

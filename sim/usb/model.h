// The one small interface behind which every simulated USB device sits: its
// descriptors as constant tables, its answers to class and vendor control
// requests, and the data of its endpoints packet by packet. The bus answers
// the standard requests (descriptors, address, configuration, endpoint halt)
// from the tables itself.
//
// Every call into a model is made with the bus lock held, from whichever
// thread drives the bus at that moment; a model's own public state that tests
// read takes the same lock through ModelLock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <span>

#include "sim/kernel/scheduler.h"
#include "sim/usb/descriptors.h"

namespace sim::usb {

enum class Speed { Full, High };

// What a device answers to one packet (or one control request).
enum class Handshake { Ack, Nak, Stall };

struct PacketResult {
  Handshake handshake = Handshake::Nak;
  size_t length = 0;  // IN: bytes written into the packet buffer
};

struct SetupPacket {
  UCHAR requestType = 0, request = 0;
  USHORT value = 0, index = 0, length = 0;
  bool In() const { return (requestType & 0x80) != 0; }
  UCHAR Type() const { return (requestType >> 5) & 3; }  // BMREQUEST_STANDARD, _CLASS, _VENDOR
  UCHAR Recipient() const { return requestType & 0x1F; }
};

// A device's descriptors: the device descriptor, the configuration blocks
// (each wTotalLength bytes, as GET_DESCRIPTOR returns it) and the strings by
// index (index 0 is the language list).
struct DescriptorSet {
  Bytes device;
  std::vector<Bytes> configurations;
  std::map<UCHAR, Bytes> strings;
};

// The bus as a model sees it: the time, deferred work on the controller's
// thread and the wake-up when an endpoint may now make progress.
class DeviceLink {
 public:
  virtual ~DeviceLink() = default;
  virtual Tick Now() = 0;
  // Runs `action` (with the bus lock held) once the kernel clock reaches `due`.
  virtual void ScheduleAt(Tick due, std::function<void()> action) = 0;
  // The device has data to send or room to receive: retry waiting transfers.
  virtual void Notify() = 0;
  virtual std::recursive_mutex& Lock() = 0;
};

class DeviceModel {
 public:
  virtual ~DeviceModel() = default;

  virtual Speed DeviceSpeed() const = 0;
  virtual const DescriptorSet& Descriptors() const = 0;

  // A class or vendor request. IN: write at most setup.length bytes into
  // `data` and return their count; OUT: `data` holds the data stage.
  virtual PacketResult Control(const SetupPacket& setup, std::span<uint8_t> data) = 0;
  // One IN packet from `endpoint` into `packet` (maxPacket bytes of room).
  virtual PacketResult In(UCHAR endpoint, std::span<uint8_t> packet) = 0;
  // One OUT packet to `endpoint`.
  virtual Handshake Out(UCHAR endpoint, std::span<const uint8_t> packet) = 0;

  // Bus events: SET_CONFIGURATION (0: unconfigured), CLEAR_FEATURE(ENDPOINT_HALT)
  // of a data endpoint, a reset of the port.
  virtual void Configured(UCHAR value) {}
  virtual void EndpointReset(UCHAR endpoint) {}
  virtual void BusReset() {}

  // Set by the bus (under its lock) while the device is plugged in, cleared
  // when it is unplugged. The far end's threads read the link without the
  // bus lock to choose their lock, so it is atomic; the switch also waits for
  // a far-end call still under the model's own lock.
  void Attach(DeviceLink* link) {
    std::lock_guard guard(ownLock_);
    link_.store(link);
  }
  DeviceLink* Link() const { return link_.load(); }

 protected:
  // The lock that guards the model's state: the bus lock while plugged in.
  std::recursive_mutex& ModelLock() {
    DeviceLink* link = link_.load();
    return link ? link->Lock() : ownLock_;
  }
  Tick Now() const {
    DeviceLink* link = link_.load();
    return link ? link->Now() : 0;
  }
  void Notify() {
    if (DeviceLink* link = link_.load()) link->Notify();
  }

 private:
  std::atomic<DeviceLink*> link_{nullptr};
  std::recursive_mutex ownLock_;
};

}  // namespace sim::usb

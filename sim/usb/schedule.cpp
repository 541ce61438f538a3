// Moving data between transfers and devices, packet by packet: bulk and
// interrupt packets with short packets, babble and stalls as a host
// controller sees them, control transfers, isochronous frames; and in timed
// mode the (micro)frame budgets: at full speed 19 bulk packets per 1 ms
// frame, at high speed 13 per 125 us microframe, shared round-robin by the
// bulk endpoints, interrupt endpoints polled at their bInterval.
#include <algorithm>

#include "sim/usb/bus.h"

namespace sim::usb {

namespace {

bool Active(const Transfer& t) { return !t.finished && !t.cancelling; }

struct Step {
  Bus& bus;
  UsbDevice& device;
  Bus::UnitLimits& limits;
  Tick now;
};

uint64_t CompletionUnit(const Step& s) {
  if (s.limits.unlimited) return 0;
  if (s.device.speed == Speed::High) return s.limits.unit + 1;
  return (s.limits.unit / 8) * 8 + 8;  // at the end of the full-speed frame
}

void Finish(const Step& s, Transfer& t, USBD_STATUS status) {
  t.finished = true;
  t.status = status;
  t.completeAtUnit = CompletionUnit(s);
}

void Halt(Endpoint& ep, USBD_STATUS status) {
  ep.halted = true;
  ep.haltStatus = status;
}

void CountData(const Step& s, size_t bytes) {
  s.device.dataBytes += bytes;
  uint64_t limit = s.device.faults.unplugAfterBytes;
  if (limit && s.device.dataBytes >= limit) s.device.unplugRequested = true;
}

PacketResult DeviceIn(UsbDevice& device, Endpoint& ep, std::span<uint8_t> packet) {
  if (ep.deviceHalted || device.faults.stall.count(ep.Address())) return {Handshake::Stall, 0};
  if (device.faults.nakForever.count(ep.Address())) return {Handshake::Nak, 0};
  return device.model->In(ep.Address(), packet);
}

Handshake DeviceOut(UsbDevice& device, Endpoint& ep, std::span<const uint8_t> packet) {
  if (ep.deviceHalted || device.faults.stall.count(ep.Address())) return Handshake::Stall;
  if (device.faults.nakForever.count(ep.Address())) return Handshake::Nak;
  return device.model->Out(ep.Address(), packet);
}

bool InPacket(const Step& s, Endpoint& ep, Transfer& t, size_t maxPacket) {
  if (t.length == 0) {
    Finish(s, t, USBD_STATUS_SUCCESS);
    return true;
  }
  static thread_local std::vector<uint8_t> scratch;
  size_t room = t.length - t.moved;
  uint8_t* dest = t.buffer + t.moved;
  std::span<uint8_t> packet(dest, maxPacket);
  if (room < maxPacket) {
    scratch.assign(maxPacket, 0);
    packet = scratch;
  }
  PacketResult r = DeviceIn(s.device, ep, packet);
  if (r.handshake == Handshake::Nak) return false;
  if (r.handshake == Handshake::Stall) {
    Halt(ep, USBD_STATUS_STALL_PID);
    Finish(s, t, USBD_STATUS_STALL_PID);
    return true;
  }
  size_t n = std::min(r.length, maxPacket);
  if (n > room) {  // babble: more than the buffer holds
    std::memcpy(dest, scratch.data(), room);
    t.moved += (ULONG)room;
    CountData(s, room);
    Halt(ep, USBD_STATUS_DATA_OVERRUN);
    Finish(s, t, USBD_STATUS_DATA_OVERRUN);
    return true;
  }
  if (packet.data() != dest) std::memcpy(dest, packet.data(), n);
  t.moved += (ULONG)n;
  CountData(s, n);
  if (t.moved == t.length) {
    // A packet that fills the request ends it, whatever its size: the
    // controller asked for no more than this.
    Finish(s, t, USBD_STATUS_SUCCESS);
  } else if (n < maxPacket) {
    // A short packet ends the transfer early. Full-speed controllers treat it
    // as an error and halt the endpoint unless USBD_SHORT_TRANSFER_OK is set;
    // high-speed controllers ignore the flag.
    if (t.shortOk || s.device.speed == Speed::High) {
      Finish(s, t, USBD_STATUS_SUCCESS);
    } else {
      Halt(ep, USBD_STATUS_DATA_UNDERRUN);
      Finish(s, t, USBD_STATUS_DATA_UNDERRUN);
    }
  }
  return true;
}

bool OutPacket(const Step& s, Endpoint& ep, Transfer& t, size_t maxPacket) {
  size_t n = std::min<size_t>(maxPacket, t.length - t.moved);
  Handshake h = DeviceOut(s.device, ep, std::span<const uint8_t>(t.buffer + t.moved, n));
  if (h == Handshake::Nak) return false;
  if (h == Handshake::Stall) {
    Halt(ep, USBD_STATUS_STALL_PID);
    Finish(s, t, USBD_STATUS_STALL_PID);
    return true;
  }
  t.moved += (ULONG)n;
  CountData(s, n);
  if (t.moved == t.length) Finish(s, t, USBD_STATUS_SUCCESS);
  return true;
}

// One packet of a bulk or interrupt transfer; false when the device NAKed.
bool DataPacket(const Step& s, Endpoint& ep, Transfer& t) {
  if (ep.halted) {
    Finish(s, t, ep.haltStatus);
    return true;
  }
  if (ep.info.maxPacket == 0) {  // an endpoint that can carry nothing
    Finish(s, t, USBD_STATUS_DEV_NOT_RESPONDING);
    return true;
  }
  return t.in ? InPacket(s, ep, t, ep.info.maxPacket) : OutPacket(s, ep, t, ep.info.maxPacket);
}

bool ControlStep(const Step& s, Transfer& t) {
  PacketResult r = s.bus.DeviceRequest(s.device, t.setup, std::span<uint8_t>(t.buffer, t.length));
  if (r.handshake == Handshake::Nak) return false;
  if (r.handshake == Handshake::Stall) {
    // The default pipe clears its stall with the next setup packet.
    Finish(s, t, t.apply ? USBD_STATUS_SET_CONFIG_FAILED : USBD_STATUS_STALL_PID);
    return true;
  }
  t.moved = t.in ? (ULONG)std::min<size_t>(r.length, t.length) : t.length;
  Finish(s, t, t.apply ? t.apply() : USBD_STATUS_SUCCESS);
  return true;
}

Tick IsochronousEnd(const Transfer& t, Speed speed) {
  ULONG packets = t.urb->UrbIsochronousTransfer.NumberOfPackets;
  if (speed == Speed::High) return (Tick)t.startFrame * kFrameTicks + (Tick)packets * kMicroframeTicks;
  return (Tick)(t.startFrame + packets) * kFrameTicks;
}

// An isochronous transfer moves all its packets once its last frame has passed.
bool IsochronousStep(const Step& s, Endpoint& ep, Transfer& t) {
  if (s.now < IsochronousEnd(t, s.device.speed)) return false;
  auto& iso = t.urb->UrbIsochronousTransfer;
  ULONG errors = 0, total = 0;
  for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
    USBD_ISO_PACKET_DESCRIPTOR& p = iso.IsoPacket[i];
    ULONG end = i + 1 < iso.NumberOfPackets ? iso.IsoPacket[i + 1].Offset : t.length;
    std::span<uint8_t> data(t.buffer + p.Offset, end - p.Offset);
    p.Status = USBD_STATUS_SUCCESS;
    if (i < t.latePackets) {
      p.Status = USBD_STATUS_ISO_NA_LATE_USBPORT;
      if (t.in) p.Length = 0;
      ++errors;
      continue;
    }
    if (t.in) {
      PacketResult r = DeviceIn(s.device, ep, data);
      p.Length = r.handshake == Handshake::Ack ? (ULONG)std::min(r.length, data.size()) : 0;
      if (r.handshake == Handshake::Stall) p.Status = USBD_STATUS_STALL_PID, ++errors;
      total += p.Length;
      CountData(s, p.Length);
    } else {
      if (DeviceOut(s.device, ep, data) == Handshake::Stall) p.Status = USBD_STATUS_STALL_PID, ++errors;
      total += (ULONG)data.size();
      CountData(s, data.size());
    }
  }
  iso.ErrorCount = errors;
  t.moved = total;
  Finish(s, t, errors == iso.NumberOfPackets ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS);
  if (!s.limits.unlimited) t.completeAtUnit = s.limits.unit;
  return true;
}

// The transfer first in line on `ep`, if it may move now.
Transfer* ReadyHead(Endpoint& ep, const Bus::UnitLimits& limits, Tick now) {
  for (auto& t : ep.queue) {
    if (t->finished || t->cancelling) continue;
    if (t->notBefore > now || (!limits.unlimited && t->eligibleUnit > limits.unit)) return nullptr;
    return t.get();
  }
  return nullptr;
}

bool PollSlot(const Endpoint& ep, Speed speed, uint64_t unit) {
  UCHAR interval = ep.info.interval ? ep.info.interval : 1;
  if (speed == Speed::High) {
    uint64_t period = 1ull << (std::min<UCHAR>(interval, 16) - 1);
    return unit % period == 0;
  }
  return unit % 8 == 0 && (unit / 8) % interval == 0;
}

}  // namespace

void Bus::ServiceEndpoint(UnitLimits& limits, UsbDevice& device, Endpoint& ep, Tick now) {
  Step s{*this, device, limits, now};
  USBD_PIPE_TYPE type = &ep == device.control.get() ? UsbdPipeTypeControl : ep.info.Type();
  if (type == UsbdPipeTypeIsochronous) {
    for (auto& t : ep.queue)
      if (Active(*t) && t->notBefore <= now) IsochronousStep(s, ep, *t);
    return;
  }
  // In timed mode a control transfer takes a (micro)frame and an interrupt
  // endpoint moves one packet per poll; bulk endpoints go round-robin.
  int allowance = limits.unlimited ? INT32_MAX : 1;
  if (!limits.unlimited && type == UsbdPipeTypeInterrupt && !PollSlot(ep, device.speed, limits.unit)) return;
  while (allowance > 0 && !device.unplugRequested) {
    Transfer* t = ReadyHead(ep, limits, now);
    if (!t || ep.nakked) return;
    bool moved = type == UsbdPipeTypeControl ? ControlStep(s, *t) : DataPacket(s, ep, *t);
    if (!moved) {
      ep.nakked = true;
      return;
    }
    limits.progress = true;
    --allowance;
  }
}

void Bus::Service(UnitLimits& limits) {
  Tick now = Now();
  std::vector<std::pair<UsbDevice*, Endpoint*>> bulk;
  for (Port& port : ports_) {
    UsbDevice* device = port.device.get();
    if (!device || device->gone || !port.enabled || device->unplugRequested) continue;
    if (!limits.unlimited && device->speed == Speed::Full && !limits.fullSpeedFrame) continue;
    ServiceEndpoint(limits, *device, *device->control, now);
    for (auto& pipe : device->Pipes()) {
      if (pipe->info.Type() == UsbdPipeTypeBulk && !limits.unlimited) bulk.push_back({device, pipe.get()});
      else ServiceEndpoint(limits, *device, *pipe, now);
    }
  }
  if (bulk.empty()) return;
  // One packet per endpoint per round, starting one further each (micro)frame.
  std::rotate(bulk.begin(), bulk.begin() + (roundRobin_++ % bulk.size()), bulk.end());
  for (bool progress = true; progress;) {
    progress = false;
    for (auto [device, ep] : bulk) {
      int& budget = device->speed == Speed::High ? limits.highSpeedPackets : limits.fullSpeedPackets;
      Transfer* t = budget > 0 && !ep->nakked && !device->unplugRequested ? ReadyHead(*ep, limits, now) : nullptr;
      if (!t) continue;
      Step s{*this, *device, limits, now};
      if (!DataPacket(s, *ep, *t)) {
        ep->nakked = true;
        continue;
      }
      --budget;
      progress = limits.progress = true;
    }
  }
}

std::optional<Tick> Bus::NextEngineDeadline(Tick now) {
  std::optional<Tick> next;
  auto earlier = [&](Tick t) {
    if (!next || t < *next) next = std::max(t, now);
  };
  if (!ended_.empty()) earlier(now);
  uint64_t unit = (uint64_t)(now / kMicroframeTicks);
  for (Port& port : ports_) {
    UsbDevice* device = port.device.get();
    if (!device || device->gone || device->unplugRequested) continue;
    std::vector<Endpoint*> endpoints{device->control.get()};
    for (auto& pipe : device->Pipes()) endpoints.push_back(pipe.get());
    for (Endpoint* ep : endpoints) {
      bool isochronous = ep != device->control.get() && ep->info.Type() == UsbdPipeTypeIsochronous;
      bool headSeen = false;
      for (auto& t : ep->queue) {
        if (t->cancelling) continue;
        if (t->finished) {
          earlier(timed_ ? (Tick)t->completeAtUnit * kMicroframeTicks : now);
          continue;
        }
        if (isochronous) {
          earlier(IsochronousEnd(*t, device->speed));
          continue;
        }
        if (headSeen) continue;
        headSeen = true;
        if (!port.enabled || ep->nakked) continue;
        if (t->notBefore > now) {
          earlier(t->notBefore);
          continue;
        }
        if (!timed_) {
          earlier(now);
          continue;
        }
        // The next (micro)frame this endpoint may use.
        uint64_t u = std::max<uint64_t>(t->eligibleUnit, unit + 1);
        if (device->speed == Speed::Full) u = (u + 7) / 8 * 8;
        bool interrupt = ep != device->control.get() && ep->info.Type() == UsbdPipeTypeInterrupt;
        while (interrupt && !PollSlot(*ep, device->speed, u)) u += device->speed == Speed::Full ? 8 : 1;
        earlier((Tick)u * kMicroframeTicks);
      }
    }
  }
  return next;
}

}  // namespace sim::usb

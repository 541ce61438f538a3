// What the capture shows of the bus, record by record as USBPcap would: a
// control transfer as its setup packet (and the OUT data stage) going down
// and a completion with the IN data coming back; bulk and interrupt transfers
// with their OUT data going down and IN data coming back; isochronous
// transfers with their packet tables; other URBs as request information.
#include "sim/usb/bus.h"

namespace sim::usb {

namespace {

UCHAR PcapTransferType(TransferKind kind) {
  switch (kind) {
    case TransferKind::Control: return kPcapControl;
    case TransferKind::Bulk: return kPcapBulk;
    case TransferKind::Interrupt: return kPcapInterrupt;
    case TransferKind::Isochronous: return kPcapIsochronous;
  }
  return kPcapIrpInfo;
}

CaptureRecord Base(const Transfer& t) {
  CaptureRecord r;
  r.irpId = t.captureId;
  r.function = t.function;
  r.device = t.address;
  r.transfer = PcapTransferType(t.kind);
  if (t.kind == TransferKind::Control) r.endpoint = (UCHAR)((t.endpoint ? t.endpoint->Address() & 0x0F : 0) | (t.in ? 0x80 : 0));
  else r.endpoint = t.endpoint ? t.endpoint->Address() : 0;
  if (t.kind == TransferKind::Isochronous && t.urb) {
    auto& iso = t.urb->UrbIsochronousTransfer;
    r.startFrame = iso.StartFrame;
    r.errorCount = iso.ErrorCount;
    r.packets.assign(iso.IsoPacket, iso.IsoPacket + iso.NumberOfPackets);
  }
  return r;
}

}  // namespace

void Bus::CaptureSubmit(Transfer& t) {
  if (t.device) t.address = t.device->address;
  if (!capture_.IsOpen()) return;
  CaptureRecord r = Base(t);
  Tick now = Now();
  if (t.kind == TransferKind::Control) {
    uint8_t setup[8] = {t.setup.requestType, t.setup.request, (uint8_t)t.setup.value, (uint8_t)(t.setup.value >> 8),
                        (uint8_t)t.setup.index, (uint8_t)(t.setup.index >> 8), (uint8_t)t.setup.length,
                        (uint8_t)(t.setup.length >> 8)};
    r.stage = kStageSetup;
    r.data = setup;
    capture_.Write(r, now);
    if (t.in || t.length == 0) return;
    r.stage = kStageData;
    r.data = std::span<const uint8_t>(t.buffer, t.length);
    capture_.Write(r, now);
    return;
  }
  if (!t.in) r.data = std::span<const uint8_t>(t.buffer, t.length);
  capture_.Write(r, now);
}

void Bus::CaptureCompletion(const Transfer& t) {
  if (!capture_.IsOpen()) return;
  CaptureRecord r = Base(t);
  r.completion = true;
  r.status = t.status;
  if (t.kind == TransferKind::Control) r.stage = kStageComplete;
  if (t.in) r.data = std::span<const uint8_t>(t.buffer, t.kind == TransferKind::Isochronous ? t.length : t.moved);
  capture_.Write(r, Now());
}

void Bus::CaptureInfo(PIRP irp, PURB urb, UCHAR endpoint, UCHAR address, bool completion) {
  if (!capture_.IsOpen()) return;
  CaptureRecord r;
  r.irpId = (uint64_t)(uintptr_t)irp;
  r.function = urb->UrbHeader.Function;
  r.status = completion ? urb->UrbHeader.Status : USBD_STATUS_SUCCESS;
  r.completion = completion;
  r.device = address;
  r.endpoint = endpoint;
  r.transfer = kPcapIrpInfo;
  capture_.Write(r, Now());
}

}  // namespace sim::usb

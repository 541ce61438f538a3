// Bulk, interrupt and isochronous URBs: the pipe, the buffer and the sizes
// are checked, isochronous transfers get their start frame, then the engine
// takes them.
#include <algorithm>

#include "sim/usb/bus.h"
#include "sim/usb/pdo.h"

namespace sim::usb {

namespace {

// USBD_STATUS_SUCCESS when the packet table is usable: offsets rising within
// the buffer, no packet longer than the endpoint's packets.
USBD_STATUS CheckPackets(const struct _URB_ISOCH_TRANSFER& iso, ULONG length, USHORT maxPacket) {
  for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
    ULONG offset = iso.IsoPacket[i].Offset;
    ULONG end = i + 1 < iso.NumberOfPackets ? iso.IsoPacket[i + 1].Offset : length;
    if (offset >= length || end <= offset || end > length || end - offset > maxPacket)
      return USBD_STATUS_INVALID_PARAMETER;
  }
  return USBD_STATUS_SUCCESS;
}

// Chooses the start frame of an isochronous transfer (USBD_START_ISO_TRANSFER_ASAP
// continues after the pipe's last one) and counts the packets already too late.
USBD_STATUS Schedule(Transfer& t, Endpoint& ep, uint64_t current, Speed speed) {
  auto& iso = t.urb->UrbIsochronousTransfer;
  ULONG perFrame = speed == Speed::High ? 8 : 1;
  uint64_t start;
  if (iso.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
    start = std::max<uint64_t>(current + 1, ep.nextIsoFrame);
  } else {
    int64_t ahead = (int32_t)(iso.StartFrame - (ULONG)current);
    if (ahead > USBD_ISO_START_FRAME_RANGE || ahead < -USBD_ISO_START_FRAME_RANGE) return USBD_STATUS_BAD_START_FRAME;
    start = current + ahead;
    if (ahead <= 0) t.latePackets = (ULONG)std::min<uint64_t>(iso.NumberOfPackets, (uint64_t)(1 - ahead) * perFrame);
  }
  iso.StartFrame = (ULONG)start;
  t.startFrame = start;
  ep.nextIsoFrame = start + (iso.NumberOfPackets + perFrame - 1) / perFrame;
  return USBD_STATUS_SUCCESS;
}

}  // namespace

NTSTATUS Bus::DataRequest(UsbPdo& pdo, PIRP irp, PURB urb) {
  const std::shared_ptr<UsbDevice>& device = pdo.Device();
  auto reject = [&](USBD_STATUS status) { return RejectUrb(irp, urb, *device, status); };
  bool isochronous = urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER;
  auto& bulk = urb->UrbBulkOrInterruptTransfer;  // the members both share
  auto& iso = urb->UrbIsochronousTransfer;
  if (isochronous) {
    size_t packetsEnd = offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) + iso.NumberOfPackets * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
    if (iso.NumberOfPackets == 0 || iso.NumberOfPackets > 1024 || urb->UrbHeader.Length < packetsEnd)
      return reject(USBD_STATUS_INVALID_PARAMETER);
  }
  std::shared_ptr<Endpoint> pipe;
  {
    std::lock_guard guard(lock_);
    pipe = device->FindPipe(bulk.PipeHandle);
  }
  if (!pipe) return reject(USBD_STATUS_INVALID_PIPE_HANDLE);
  USBD_PIPE_TYPE type = pipe->info.Type();
  bool typeFits = isochronous ? type == UsbdPipeTypeIsochronous : type == UsbdPipeTypeBulk || type == UsbdPipeTypeInterrupt;
  if (!typeFits || bulk.TransferBufferLength > pipe->maxTransfer) return reject(USBD_STATUS_INVALID_PARAMETER);
  uint8_t* buffer = nullptr;
  if (PMDL mdl = bulk.TransferBufferMDL) {
    if (MmGetMdlByteCount(mdl) < bulk.TransferBufferLength) return reject(USBD_STATUS_INVALID_PARAMETER);
    buffer = (uint8_t*)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    if (!buffer && bulk.TransferBufferLength) return reject(USBD_STATUS_INSUFFICIENT_RESOURCES);
  } else {
    buffer = (uint8_t*)bulk.TransferBuffer;
  }
  if (!buffer && bulk.TransferBufferLength) return reject(USBD_STATUS_INVALID_PARAMETER);
  if (isochronous) {
    USBD_STATUS packets = CheckPackets(iso, iso.TransferBufferLength, pipe->info.maxPacket);
    if (packets != USBD_STATUS_SUCCESS) return reject(packets);
  }
  auto t = std::make_unique<Transfer>();
  t->irp = irp;
  t->urb = urb;
  t->captureId = (uint64_t)(uintptr_t)irp;
  t->device = device;
  t->endpoint = pipe;
  t->kind = isochronous ? TransferKind::Isochronous
                        : type == UsbdPipeTypeBulk ? TransferKind::Bulk : TransferKind::Interrupt;
  t->function = urb->UrbHeader.Function;
  // The endpoint's address gives the direction, whatever the flag says.
  t->in = pipe->info.In();
  t->shortOk = (bulk.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
  t->buffer = buffer;
  t->length = bulk.TransferBufferLength;
  if (isochronous) {
    USBD_STATUS scheduled;
    {
      std::lock_guard guard(lock_);
      scheduled = Schedule(*t, *pipe, FrameNumberAt(Now()), device->speed);
    }
    if (scheduled != USBD_STATUS_SUCCESS) return reject(scheduled);
    iso.ErrorCount = 0;
  }
  return StartTransfer(std::move(t));
}

}  // namespace sim::usb

// Transfers from the moment a URB is accepted until its IRP completes: the
// endpoint queues, completion at once or later, and cancellation. A pending
// transfer's IRP carries the bus's cancel routine; whoever takes a transfer
// off its queue first clears that routine, and if it is already gone the
// cancel routine owns the transfer and completes it.
#include "sim/kernel/machine.h"
#include "sim/kernel/verifier.h"
#include "sim/usb/bus.h"
#include "sim/usb/pdo.h"
#include "sim/usb/status.h"

namespace sim::usb {

namespace {

bool Active(const Transfer& t) { return !t.finished && !t.cancelling; }

bool EndpointIdle(const Endpoint& ep) {
  for (const auto& t : ep.queue)
    if (Active(*t)) return false;
  return true;
}

// Moves `t` from `queue` into `out`.
void Extract(TransferList& queue, const Transfer* t, TransferList& out) {
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    if (it->get() == t) {
      out.splice(out.end(), queue, it);
      return;
    }
  }
}

std::vector<Endpoint*> AllEndpoints(UsbDevice& device) {
  std::vector<Endpoint*> out{device.control.get()};
  for (auto& pipe : device.Pipes()) out.push_back(pipe.get());
  return out;
}

}  // namespace

bool Bus::Claim(Transfer& t) {
  if (!t.irp || !t.cancelRoutineSet) return true;
  if (!IoSetCancelRoutine(t.irp, nullptr)) {
    t.cancelling = true;
    return false;
  }
  t.cancelRoutineSet = false;
  return true;
}

void Bus::Conclude(Transfer& t) {
  t.finished = true;
  if (t.urb) {
    t.urb->UrbHeader.Status = t.status;
    if (t.hasLength) t.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = t.moved;
  }
  CaptureCompletion(t);
}

NTSTATUS Bus::StartTransfer(std::unique_ptr<Transfer> owned) {
  Transfer& t = *owned;
  TransferList done;
  std::unique_lock guard(lock_);
  UsbDevice& device = *t.device;
  Endpoint& ep = *t.endpoint;
  Tick now = Now();
  CaptureSubmit(t);
  // The configuration may have changed since the URB was checked.
  bool current = &ep == device.control.get() || device.FindPipe(ep.handle) == t.endpoint;
  if (device.gone || device.removed || !current) {
    t.finished = true;
    t.status = current ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_INVALID_PIPE_HANDLE;
  }
  bool idle = EndpointIdle(ep);
  t.notBefore = now + device.faults.slowResponse;
  if (timed_) t.eligibleUnit = FirstOpenUnit(device.speed, now);
  ep.queue.push_back(std::move(owned));
  ep.nakked = false;
  bool atOnce = !t.finished && !timed_ && idle && !device.faults.forcePending && device.faults.slowResponse == 0 &&
                t.kind != TransferKind::Isochronous;
  if (atOnce) {
    UnitLimits unlimited;
    ServiceEndpoint(unlimited, device, ep, now);
  }
  done.splice(done.end(), ended_);
  if (t.finished) {
    Conclude(t);
    Extract(ep.queue, &t, done);
    NTSTATUS status = t.irp ? NtStatusFromUsbd(t.status) : STATUS_SUCCESS;
    guard.unlock();
    CompleteTransfers(done);
    return status;
  }
  if (t.irp) {
    t.irp->Tail.Overlay.DriverContext[0] = &t;
    IoMarkIrpPending(t.irp);
    IoSetCancelRoutine(t.irp, &Bus::CancelTransfer);
    t.cancelRoutineSet = true;
    // Cancelled before the routine was set: IoCancelIrp found none to call.
    if (t.irp->Cancel && IoSetCancelRoutine(t.irp, nullptr)) {
      t.cancelRoutineSet = false;
      t.status = USBD_STATUS_CANCELED;
      Conclude(t);
      Extract(ep.queue, &t, done);
    }
  }
  KeSetEvent(&wake_, 0, FALSE);
  guard.unlock();
  CompleteTransfers(done);
  return STATUS_PENDING;
}

TransferList Bus::EndTransfers(Endpoint& ep, USBD_STATUS status) {
  TransferList out;
  for (auto it = ep.queue.begin(); it != ep.queue.end();) {
    Transfer& t = **it;
    if (t.cancelling || !Claim(t)) {
      ++it;
      continue;
    }
    if (!t.finished) t.status = status;
    Conclude(t);
    auto next = std::next(it);
    out.splice(out.end(), ep.queue, it);
    it = next;
  }
  return out;
}

TransferList Bus::EndDeviceTransfers(UsbDevice& device, USBD_STATUS status) {
  TransferList out;
  for (Endpoint* ep : AllEndpoints(device)) out.splice(out.end(), EndTransfers(*ep, status));
  return out;
}

TransferList Bus::TakeFinished(uint64_t unit) {
  TransferList out = std::move(ended_);
  ended_.clear();
  for (Port& port : ports_) {
    if (!port.device) continue;
    for (Endpoint* ep : AllEndpoints(*port.device)) {
      for (auto it = ep->queue.begin(); it != ep->queue.end();) {
        Transfer& t = **it;
        auto next = std::next(it);
        if (t.finished && !t.cancelling && t.completeAtUnit <= unit && Claim(t)) {
          Conclude(t);
          out.splice(out.end(), ep->queue, it);
        }
        it = next;
      }
    }
  }
  return out;
}

void Bus::CompleteTransfers(TransferList& done) {
  for (auto& t : done) {
    if (!t->irp) continue;
    CompleteRequest(t->irp, NtStatusFromUsbd(t->status));
  }
  done.clear();
}

NTSTATUS Bus::CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  if (!OnControllerThread() || KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  // The controller completes from its own thread as a DPC would.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  {
    FrameScope frame(driver_, (const void*)&IofCompleteRequest, FrameKind::Dpc, irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  KeLowerIrql(old);
  return status;
}

void NTAPI Bus::CancelTransfer(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  UsbPdo* pdo = UsbPdo::FromDevice(device);
  Bus& bus = pdo->BusOf();
  TransferList done;
  {
    std::lock_guard guard(bus.lock_);
    auto* t = (Transfer*)irp->Tail.Overlay.DriverContext[0];
    t->cancelRoutineSet = false;
    t->cancelling = false;
    if (!t->finished) t->status = USBD_STATUS_CANCELED;
    bus.Conclude(*t);
    Extract(t->endpoint->queue, t, done);
    if (done.empty()) VerifierStop(Rule::KernelStop, irp, "the USB bus lost track of a cancelled transfer");
  }
  bus.Notify();
  bus.CompleteTransfers(done);
}

size_t Bus::PendingCount(const UsbDevice* device) {
  size_t count = 0;
  for (Port& port : ports_) {
    if (!port.device || (device && port.device.get() != device)) continue;
    for (Endpoint* ep : AllEndpoints(*port.device)) count += ep->queue.size();
  }
  return count;
}

}  // namespace sim::usb

// IOCTL_INTERNAL_USB_SUBMIT_URB: every URB is checked as the bus checks it
// (header length, function, pipe handle, buffer, sizes) and a bad one fails
// with the USBD status a real bus gives, its IRP with the matching NTSTATUS.
// Transfers go to the engine; the pipe requests and the frame number are
// answered at once.
#include <algorithm>

#include "sim/usb/bus.h"
#include "sim/usb/pdo.h"
#include "sim/usb/status.h"

namespace sim::usb {

namespace {

size_t RequiredLength(USHORT function) {
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    case URB_FUNCTION_SELECT_INTERFACE: return offsetof(struct _URB_SELECT_INTERFACE, Interface.Pipes);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: return sizeof(struct _URB_PIPE_REQUEST);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: return sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    case URB_FUNCTION_CONTROL_TRANSFER: return sizeof(struct _URB_CONTROL_TRANSFER);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_ISOCH_TRANSFER: return offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket);
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE: case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT: case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
      return sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE: case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: case URB_FUNCTION_GET_STATUS_FROM_OTHER:
      return sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    case URB_FUNCTION_GET_CONFIGURATION: return sizeof(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST);
    case URB_FUNCTION_GET_INTERFACE: return sizeof(struct _URB_CONTROL_GET_INTERFACE_REQUEST);
    case URB_FUNCTION_VENDOR_DEVICE: case URB_FUNCTION_VENDOR_INTERFACE: case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER: case URB_FUNCTION_CLASS_DEVICE: case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT: case URB_FUNCTION_CLASS_OTHER:
      return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE: case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT:
      return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    default: return 0;  // a function the bus does not know
  }
}

// A control transfer as a URB function describes it.
struct ControlPlan {
  SetupPacket setup;
  PVOID buffer = nullptr;
  PMDL mdl = nullptr;
  ULONG length = 0;
  bool hasLength = true;
  USBD_PIPE_HANDLE pipe = nullptr;  // URB_FUNCTION_CONTROL_TRANSFER on another control pipe
};

UCHAR Recipient(USHORT function, USHORT device, USHORT interface, USHORT endpoint, USHORT other) {
  if (function == device) return BMREQUEST_TO_DEVICE;
  if (function == interface) return BMREQUEST_TO_INTERFACE;
  if (function == endpoint) return BMREQUEST_TO_ENDPOINT;
  if (function == other) return BMREQUEST_TO_OTHER;
  return 0xFF;
}

UCHAR RequestType(bool in, UCHAR type, UCHAR recipient) { return (UCHAR)((in ? 0x80 : 0) | (type << 5) | recipient); }

std::optional<ControlPlan> PlanControl(PURB urb) {
  USHORT f = urb->UrbHeader.Function;
  auto& common = urb->UrbControlVendorClassRequest;  // the transfer-buffer members sit alike in all control URBs
  ControlPlan p;
  p.buffer = common.TransferBuffer;
  p.mdl = common.TransferBufferMDL;
  p.length = common.TransferBufferLength;
  SetupPacket& s = p.setup;
  UCHAR r;
  if ((r = Recipient(f, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE,
                     URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, 0xFFFF)) != 0xFF ||
      (r = Recipient(f, URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE, URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE,
                     URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT, 0xFFFF)) != 0xFF) {
    auto& d = urb->UrbControlDescriptorRequest;
    bool get = f == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE || f == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ||
               f == URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT;
    s = {RequestType(get, BMREQUEST_STANDARD, r), (UCHAR)(get ? USB_REQUEST_GET_DESCRIPTOR : USB_REQUEST_SET_DESCRIPTOR),
         USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(d.DescriptorType, d.Index), d.LanguageId, 0};
  } else if ((r = Recipient(f, URB_FUNCTION_SET_FEATURE_TO_DEVICE, URB_FUNCTION_SET_FEATURE_TO_INTERFACE,
                            URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, URB_FUNCTION_SET_FEATURE_TO_OTHER)) != 0xFF ||
             (r = Recipient(f, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE,
                            URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, URB_FUNCTION_CLEAR_FEATURE_TO_OTHER)) != 0xFF) {
    auto& feature = urb->UrbControlFeatureRequest;
    bool set = f == URB_FUNCTION_SET_FEATURE_TO_DEVICE || f == URB_FUNCTION_SET_FEATURE_TO_INTERFACE ||
               f == URB_FUNCTION_SET_FEATURE_TO_ENDPOINT || f == URB_FUNCTION_SET_FEATURE_TO_OTHER;
    s = {RequestType(false, BMREQUEST_STANDARD, r), (UCHAR)(set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE),
         feature.FeatureSelector, feature.Index, 0};
    p = ControlPlan{s};
    p.hasLength = false;
    return p;
  } else if ((r = Recipient(f, URB_FUNCTION_GET_STATUS_FROM_DEVICE, URB_FUNCTION_GET_STATUS_FROM_INTERFACE,
                            URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, URB_FUNCTION_GET_STATUS_FROM_OTHER)) != 0xFF) {
    s = {RequestType(true, BMREQUEST_STANDARD, r), USB_REQUEST_GET_STATUS, 0, urb->UrbControlGetStatusRequest.Index, 0};
  } else if ((r = Recipient(f, URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE, URB_FUNCTION_VENDOR_ENDPOINT,
                            URB_FUNCTION_VENDOR_OTHER)) != 0xFF ||
             (r = Recipient(f, URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE, URB_FUNCTION_CLASS_ENDPOINT,
                            URB_FUNCTION_CLASS_OTHER)) != 0xFF) {
    bool vendor = f == URB_FUNCTION_VENDOR_DEVICE || f == URB_FUNCTION_VENDOR_INTERFACE ||
                  f == URB_FUNCTION_VENDOR_ENDPOINT || f == URB_FUNCTION_VENDOR_OTHER;
    bool in = USBD_TRANSFER_DIRECTION_FLAG(common.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
    UCHAR type = RequestType(in, vendor ? BMREQUEST_VENDOR : BMREQUEST_CLASS, r);
    s = {(UCHAR)(type | (common.RequestTypeReservedBits & 0x1C)), common.Request, common.Value, common.Index, 0};
  } else if (f == URB_FUNCTION_GET_CONFIGURATION) {
    s = {0x80, USB_REQUEST_GET_CONFIGURATION, 0, 0, 0};
  } else if (f == URB_FUNCTION_GET_INTERFACE) {
    s = {0x81, USB_REQUEST_GET_INTERFACE, 0, urb->UrbControlGetInterfaceRequest.Interface, 0};
  } else if (f == URB_FUNCTION_CONTROL_TRANSFER) {
    auto& c = urb->UrbControlTransfer;
    const UCHAR* raw = c.SetupPacket;
    s = {raw[0], raw[1], (USHORT)(raw[2] | raw[3] << 8), (USHORT)(raw[4] | raw[5] << 8), 0};
    if (USBD_TRANSFER_DIRECTION_FLAG(c.TransferFlags)) s.requestType |= 0x80;
    else s.requestType &= 0x7F;
    if (!(c.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER)) p.pipe = c.PipeHandle;
  } else {
    return std::nullopt;
  }
  return p;
}

// The transfer buffer: the MDL's system address if there is an MDL, else the
// buffer. Null when a nonzero length has neither or the MDL is too short.
uint8_t* ResolveBuffer(PVOID buffer, PMDL mdl, ULONG length, bool* ok) {
  *ok = true;
  if (mdl) {
    if (MmGetMdlByteCount(mdl) < length) return *ok = false, nullptr;
    return (uint8_t*)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
  }
  if (!buffer && length) *ok = false;
  return (uint8_t*)buffer;
}

}  // namespace

NTSTATUS Bus::RejectUrb(PIRP irp, PURB urb, UsbDevice& device, USBD_STATUS status) {
  urb->UrbHeader.Status = status;
  // A refused transfer moved nothing.
  USHORT function = urb->UrbHeader.Function;
  bool transfer = function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || function == URB_FUNCTION_ISOCH_TRANSFER;
  if (transfer && urb->UrbHeader.Length >= sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
  {
    std::lock_guard guard(lock_);
    CaptureInfo(irp, urb, 0, device.address, false);
    CaptureInfo(irp, urb, 0, device.address, true);
  }
  return CompleteRequest(irp, NtStatusFromUsbd(status));
}

USBD_STATUS Bus::DeviceState(UsbDevice& device) {
  std::lock_guard guard(lock_);
  if (device.gone || device.removed) return USBD_STATUS_DEVICE_GONE;
  Port* port = PortOf(device);
  if (!port || !port->enabled) return USBD_STATUS_DEV_NOT_RESPONDING;
  return USBD_STATUS_SUCCESS;
}

NTSTATUS Bus::SubmitUrb(UsbPdo& pdo, PIRP irp) {
  auto urb = (PURB)URB_FROM_IRP(irp);
  if (!urb) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  const std::shared_ptr<UsbDevice>& device = pdo.Device();
  auto reject = [&](USBD_STATUS status) { return RejectUrb(irp, urb, *device, status); };
  if (USBD_STATUS state = DeviceState(*device); state != USBD_STATUS_SUCCESS) return reject(state);
  USHORT function = urb->UrbHeader.Function;
  size_t required = RequiredLength(function);
  if (!required) return reject(USBD_STATUS_INVALID_URB_FUNCTION);
  if (urb->UrbHeader.Length < required) return reject(USBD_STATUS_INVALID_PARAMETER);
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_SELECT_INTERFACE: return SelectRequest(pdo, irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: return PipeRequest(pdo, irp, urb);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: {
      std::lock_guard guard(lock_);
      urb->UrbGetCurrentFrameNumber.FrameNumber = (ULONG)FrameNumberAt(Now());
      urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
      CaptureInfo(irp, urb, 0, device->address, false);
      CaptureInfo(irp, urb, 0, device->address, true);
    }
      return CompleteRequest(irp, STATUS_SUCCESS);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_ISOCH_TRANSFER: return DataRequest(pdo, irp, urb);
    default: break;
  }
  std::optional<ControlPlan> plan = PlanControl(urb);
  if (!plan) return reject(USBD_STATUS_INVALID_URB_FUNCTION);
  if (plan->length > MAXUSHORT) return reject(USBD_STATUS_INVALID_PARAMETER);
  bool ok;
  uint8_t* buffer = ResolveBuffer(plan->buffer, plan->mdl, plan->length, &ok);
  if (!ok) return reject(USBD_STATUS_INVALID_PARAMETER);
  auto t = std::make_unique<Transfer>();
  t->irp = irp;
  t->urb = urb;
  t->captureId = (uint64_t)(uintptr_t)irp;
  t->device = device;
  t->kind = TransferKind::Control;
  t->function = function;
  t->setup = plan->setup;
  t->setup.length = (USHORT)plan->length;
  t->in = plan->setup.In();
  t->buffer = buffer;
  t->length = plan->length;
  t->hasLength = plan->hasLength;
  {
    std::lock_guard guard(lock_);
    t->endpoint = plan->pipe ? device->FindPipe(plan->pipe) : device->control;
  }
  if (!t->endpoint || (plan->pipe && t->endpoint->info.Type() != UsbdPipeTypeControl))
    return reject(USBD_STATUS_INVALID_PIPE_HANDLE);
  return StartTransfer(std::move(t));
}

NTSTATUS Bus::PipeRequest(UsbPdo& pdo, PIRP irp, PURB urb) {
  const std::shared_ptr<UsbDevice>& device = pdo.Device();
  USHORT function = urb->UrbHeader.Function;
  TransferList ended;
  {
    std::lock_guard guard(lock_);
    std::shared_ptr<Endpoint> pipe = device->FindPipe(urb->UrbPipeRequest.PipeHandle);
    CaptureInfo(irp, urb, pipe ? pipe->Address() : 0, device->address, false);
    urb->UrbHeader.Status = pipe ? USBD_STATUS_SUCCESS : USBD_STATUS_INVALID_PIPE_HANDLE;
    if (pipe && function == URB_FUNCTION_ABORT_PIPE) {
      ended = EndTransfers(*pipe, USBD_STATUS_CANCELED);
    } else if (pipe) {
      // Reset clears the host's halt and the data toggle only: a device whose
      // endpoint is halted stalls the next transaction again. Clear-stall
      // sends CLEAR_FEATURE(ENDPOINT_HALT), which clears the device's halt.
      if (function != URB_FUNCTION_SYNC_CLEAR_STALL) pipe->halted = false;
      if (function != URB_FUNCTION_SYNC_RESET_PIPE) {
        pipe->deviceHalted = false;
        device->model->EndpointReset(pipe->Address());
      }
      pipe->nakked = false;
      KeSetEvent(&wake_, 0, FALSE);
    }
    CaptureInfo(irp, urb, pipe ? pipe->Address() : 0, device->address, true);
  }
  CompleteTransfers(ended);
  return CompleteRequest(irp, NtStatusFromUsbd(urb->UrbHeader.Status));
}

}  // namespace sim::usb

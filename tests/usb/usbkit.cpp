#include "tests/usb/usbkit.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "sim/kernel/iomanager.h"
#include "sim/kernel/object.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/ustring.h"

namespace usbkit {

NTSTATUS Call::Wait() {
  if (returned == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return returned == STATUS_PENDING ? iosb.Status : returned;
}

bool Call::Done() { return returned != STATUS_PENDING || KeReadStateEvent(&event); }

namespace {

// The client: a WDM function driver that passes everything down, opens and
// closes at its own level, and detaches and deletes its device at
// IRP_MN_REMOVE_DEVICE.
PDEVICE_OBJECT& LowerOf(PDEVICE_OBJECT device) { return *(PDEVICE_OBJECT*)device->DeviceExtension; }

NTSTATUS NTAPI ClientDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PDEVICE_OBJECT lower = LowerOf(device);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    case IRP_MJ_PNP:
      if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
      }
      [[fallthrough]];
    default:
      if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
      }
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(lower, irp);
  }
}

NTSTATUS NTAPI ClientAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  LowerOf(device) = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void NTAPI ClientUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI ClientEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& major : driver->MajorFunction) major = ClientDispatch;
  driver->DriverExtension->AddDevice = ClientAddDevice;
  driver->DriverUnload = ClientUnload;
  return STATUS_SUCCESS;
}

std::u16string DeviceId(const sim::usb::DeviceModel& model) {
  const sim::usb::Bytes& d = model.Descriptors().device;
  char text[32];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", d[8] | d[9] << 8, d[10] | d[11] << 8);
  return sim::Widen(text);
}

}  // namespace

Bus::Bus(sim::usb::ControllerOptions options)
    : controller(std::make_unique<sim::usb::HostController>(options)) {
  machine.Pnp().AddService({u"usbclient", ClientEntry});
}

Bus::~Bus() {
  for (Client& c : clients_) {
    sim::SendFileRequest(c.file, IRP_MJ_CLEANUP);
    ObDereferenceObject(c.file);  // the last reference: IRP_MJ_CLOSE
  }
  controller.reset();
}

int Bus::Plug(std::shared_ptr<sim::usb::DeviceModel> model, const sim::usb::DeviceFaults& faults) {
  std::u16string id = DeviceId(*model);
  if (bound_.insert(id).second) machine.Pnp().Bind({id, u"usbclient"});
  int port = controller->Plug(std::move(model), faults);
  if (!port) return 0;
  PDEVICE_OBJECT pdo = controller->Pdo(port);
  sim::DeviceNode* node = machine.Pnp().NodeOfPdo(pdo);
  if (!node || !node->Top()) {
    ADD_FAILURE() << "the client driver did not load for the device on port " << port;
    return port;
  }
  Client c{port, node->Top(), nullptr};
  sim::OpenRequest open;
  open.path = machine.Objects().NameOf(pdo);
  EXPECT_EQ(sim::OpenFile(open, &c.file), STATUS_SUCCESS);
  clients_.push_back(c);
  return port;
}

PDEVICE_OBJECT Bus::Top(int port) {
  for (auto it = clients_.rbegin(); it != clients_.rend(); ++it)
    if (it->port == port) return it->top;
  return nullptr;
}

std::unique_ptr<Call> Send(PDEVICE_OBJECT top, PVOID argument, ULONG code) {
  auto call = std::make_unique<Call>();
  KeInitializeEvent(&call->event, NotificationEvent, FALSE);
  call->irp = IoBuildDeviceIoControlRequest(code, top, nullptr, 0, nullptr, 0, TRUE, &call->event, &call->iosb);
  IoGetNextIrpStackLocation(call->irp)->Parameters.Others.Argument1 = argument;
  call->returned = IoCallDriver(top, call->irp);
  return call;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT top, PVOID argument, ULONG code) { return Send(top, argument, code)->Wait(); }


URB DescriptorUrb(UCHAR type, UCHAR index, USHORT language, PVOID buffer, ULONG length) {
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language,
                               buffer, nullptr, length, nullptr);
  return urb;
}

URB BulkUrb(USBD_PIPE_HANDLE pipe, PVOID buffer, ULONG length, ULONG flags, PMDL mdl) {
  URB urb{};
  UsbBuildInterruptOrBulkTransferRequest(&urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, mdl,
                                         length, flags, nullptr);
  return urb;
}

URB VendorUrb(USHORT function, bool in, UCHAR request, USHORT value, USHORT index, PVOID buffer, ULONG length) {
  URB urb{};
  UsbBuildVendorRequest(&urb, function, (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0, request, value, index, buffer,
                        nullptr, length, nullptr);
  return urb;
}

URB PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe) {
  URB urb{};
  urb.UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbHeader.Function = function;
  urb.UrbPipeRequest.PipeHandle = pipe;
  return urb;
}

std::vector<uint8_t> ReadConfiguration(PDEVICE_OBJECT top) {
  std::vector<uint8_t> header(9);
  URB urb = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, header.data(), 9);
  if (!NT_SUCCESS(SendAndWait(top, &urb))) return {};
  std::vector<uint8_t> all(header[2] | header[3] << 8);
  urb = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, all.data(), (ULONG)all.size());
  if (!NT_SUCCESS(SendAndWait(top, &urb))) return {};
  all.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
  return all;
}

Selected SelectFirstConfiguration(PDEVICE_OBJECT top, ULONG maximumTransferSize) {
  Selected out;
  std::vector<uint8_t> bytes = ReadConfiguration(top);
  if (bytes.empty()) return out;
  // The descriptor lives in pool, as a driver's copy does.
  auto config = (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePool(NonPagedPool, bytes.size());
  std::memcpy(config, bytes.data(), bytes.size());
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(config, &size);
  if (!urb) {
    ExFreePool(config);
    return out;
  }
  auto& interface = urb->UrbSelectConfiguration.Interface;
  for (ULONG i = 0; i < interface.NumberOfPipes; ++i) interface.Pipes[i].MaximumTransferSize = maximumTransferSize;
  out.status = SendAndWait(top, urb);
  out.usbd = urb->UrbHeader.Status;
  out.configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
  out.interfaceClass = interface.Class;
  for (ULONG i = 0; NT_SUCCESS(out.status) && i < interface.NumberOfPipes; ++i) out.pipes.push_back(interface.Pipes[i]);
  ExFreePool(urb);
  ExFreePool(config);
  return out;
}

}  // namespace usbkit

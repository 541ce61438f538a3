#include "bench/usbclient.h"

#include <cstring>

namespace bench {

namespace {

// The originator keeps its IRP; the event says it is back.
NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent((PKEVENT)context, 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, PURB urb) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  RtlZeroMemory(next, sizeof *next);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, KeepIrp, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(pdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

std::vector<USBD_PIPE_HANDLE> SelectFirstConfiguration(PDEVICE_OBJECT pdo, sim::usb::HostController& controller,
                                                       int port) {
  const sim::usb::Bytes& config = controller.Model(port)->Descriptors().configurations[0];
  auto copy = (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePool(NonPagedPool, config.size());
  std::memcpy(copy, config.data(), config.size());
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(copy, &size);
  for (ULONG i = 0; i < urb->UrbSelectConfiguration.Interface.NumberOfPipes; ++i)
    urb->UrbSelectConfiguration.Interface.Pipes[i].MaximumTransferSize = 1 << 20;
  SubmitUrb(pdo, urb);
  std::vector<USBD_PIPE_HANDLE> pipes;
  for (ULONG i = 0; i < urb->UrbSelectConfiguration.Interface.NumberOfPipes; ++i)
    pipes.push_back(urb->UrbSelectConfiguration.Interface.Pipes[i].PipeHandle);
  ExFreePool(urb);
  ExFreePool(copy);
  return pipes;
}

}  // namespace bench

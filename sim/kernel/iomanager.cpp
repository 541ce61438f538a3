#include "sim/kernel/iomanager.h"

#include <cstdio>
#include <cstdlib>

#include "sim/kernel/machine.h"
#include "sim/kernel/mdl.h"
#include "sim/kernel/object.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"

namespace sim {

PIRP AllocateThreadIrp(PDEVICE_OBJECT device, PFILE_OBJECT file, IrpOriginator originator) {
  originator.threadIrp = true;
  originator.fileObject = file;
  originator.issuingThread = CurrentThread();
  PIRP irp = CurrentMachine().Irps().Allocate(device->StackSize, nullptr, std::move(originator));
  irp->Tail.Overlay.Thread = (PETHREAD)CurrentThread();
  irp->Tail.Overlay.OriginalFileObject = file;
  irp->RequestorMode = KernelMode;
  irp->IoStatus.Status = kUnsetStatus;
  return irp;
}

NTSTATUS CallAndWait(PDEVICE_OBJECT device, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb) {
  KeClearEvent(event);
  irp->UserEvent = event;
  irp->UserIosb = iosb;
  NTSTATUS status = IoCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    status = iosb->Status;
  }
  return status;
}

void FinishThreadIrp(PIRP irp, IrpRecord& record) {
  if (record.originator.onCompleted) record.originator.onCompleted(irp);
  if (irp->Flags & IRP_BUFFERED_IO) {
    if ((irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(irp->IoStatus.Status) && irp->UserBuffer &&
        irp->IoStatus.Information)
      std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
    if (irp->Flags & IRP_DEALLOCATE_BUFFER) std::free(irp->AssociatedIrp.SystemBuffer);
  }
  if (irp->MdlAddress) KernelFreeMdlChain(irp->MdlAddress);
  IO_STATUS_BLOCK result = irp->IoStatus;
  // A request that failed without pending reports its status only through
  // IoCallDriver's return value: NT writes no status block and sets no event.
  bool report = !NT_ERROR(result.Status) || irp->PendingReturned;
  if (irp->UserIosb && report) *irp->UserIosb = result;
  PKEVENT event = report ? irp->UserEvent : nullptr;
  auto onFinished = std::move(record.originator.onFinished);
  CCHAR boost = record.boost;
  CurrentMachine().Irps().Free(irp, true);
  if (onFinished) onFinished(result.Status, result.Information, boost);
  if (event) KeSetEvent(event, boost, FALSE);
}

void CancelThreadIo() {
  KThread* thread = CurrentThread();
  IrpTracker& irps = CurrentMachine().Irps();
  for (PIRP irp : irps.PinIssuedByThread(thread)) {
    IoCancelIrp(irp);
    irps.Unpin(irp);
  }
  constexpr int kSteps = 3000;  // 5 minutes of 100 ms
  for (int step = 0; step < kSteps && irps.AnyIssuedBy(thread); step++) {
    LARGE_INTEGER interval;
    interval.QuadPart = -100 * 1000 * 10;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
  if (size_t left = irps.DisassociateFrom(thread))
    std::fprintf(stderr, "I/O manager: thread '%s' exits with %zu request(s) its drivers did not complete after cancellation\n",
                 thread->name.c_str(), left);
}

namespace {

// The open of a device found by name, checked as NT's I/O manager checks it.
NTSTATUS OpenResolved(const OpenRequest& request, PDEVICE_OBJECT device, const std::u16string& remainder,
                      PFILE_OBJECT* file) {
  ObjectManager& objects = CurrentMachine().Objects();
  NTSTATUS status;
  if ((device->Flags & DO_DEVICE_INITIALIZING) || objects.IsDeletePending(device)) return STATUS_NO_SUCH_DEVICE;
  // A Plug and Play stack opens only while started, and not once surprise-removed.
  status = CurrentMachine().Pnp().CheckOpen(device);
  if (!NT_SUCCESS(status)) return status;
  if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) return STATUS_ACCESS_DENIED;

  PFILE_OBJECT newFile = objects.CreateFileObject(device, remainder, request.synchronous);
  PDEVICE_OBJECT top = IoGetRelatedDeviceObject(newFile);
  PIRP irp = AllocateThreadIrp(top, newFile, {});
  irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
  IO_SECURITY_CONTEXT security{nullptr, nullptr, request.access, request.options};
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  std::memset(stack, 0, sizeof *stack);
  stack->MajorFunction = IRP_MJ_CREATE;
  stack->FileObject = newFile;
  stack->Parameters.Create.SecurityContext = &security;
  stack->Parameters.Create.Options = request.options;
  stack->Parameters.Create.ShareAccess = (USHORT)request.shareAccess;
  IO_STATUS_BLOCK iosb{};
  status = CallAndWait(top, irp, &newFile->Event, &iosb);
  if (!NT_SUCCESS(status)) {
    objects.Dereference(newFile);  // never opened: no close request
    return status;
  }
  newFile->Flags |= FO_FILE_OPEN;
  InterlockedIncrement(&device->ReferenceCount);
  objects.Reference(device);
  *file = newFile;
  return status;
}

}  // namespace

// The device the name leads to is held (Resolve's reference) until the open
// is done with it, whatever happens to the device meanwhile.
NTSTATUS OpenFile(const OpenRequest& request, PFILE_OBJECT* file) {
  RequireIrqlPassive("the I/O manager's open");
  ObjectManager& objects = CurrentMachine().Objects();
  PDEVICE_OBJECT device = nullptr;
  std::u16string remainder;
  NTSTATUS status = objects.Resolve(request.path, &device, &remainder);
  if (!NT_SUCCESS(status)) return status;
  status = OpenResolved(request, device, remainder, file);
  objects.Dereference(device);
  return status;
}

NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR majorFunction) {
  PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
  PIRP irp = AllocateThreadIrp(top, file, {});
  irp->Flags = IRP_SYNCHRONOUS_API | (majorFunction == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION : 0);
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  std::memset(stack, 0, sizeof *stack);
  stack->MajorFunction = majorFunction;
  stack->FileObject = file;
  IO_STATUS_BLOCK iosb{};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  return CallAndWait(top, irp, &event, &iosb);
}

namespace {

// Describes `buffer` to the target the way its flags ask: a system buffer
// (copied in for writes), a locked MDL, or the caller's address as it is.
bool AttachBuffer(PIRP irp, PDEVICE_OBJECT device, ULONG major, PVOID buffer, ULONG length, bool kernelOwned) {
  if (!buffer || !length) return true;
  bool read = major == IRP_MJ_READ;
  if (device->Flags & DO_BUFFERED_IO) {
    PVOID system = kernelOwned ? std::malloc(length) : ExAllocatePoolWithTag(NonPagedPool, length, 0x66426F49);  // 'IoBf'
    if (!system) return false;
    if (!read) std::memcpy(system, buffer, length);
    irp->AssociatedIrp.SystemBuffer = system;
    irp->UserBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | (kernelOwned ? IRP_DEALLOCATE_BUFFER : 0) | (read ? IRP_INPUT_OPERATION : 0);
  } else if (device->Flags & DO_DIRECT_IO) {
    LOCK_OPERATION operation = read ? IoWriteAccess : IoReadAccess;
    if (kernelOwned) {
      irp->MdlAddress = KernelAllocateLockedMdl(buffer, length, operation);
    } else {
      PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
      if (!mdl) return false;
      MmProbeAndLockPages(mdl, KernelMode, operation);
      irp->MdlAddress = mdl;
    }
  } else {
    irp->UserBuffer = buffer;
  }
  return true;
}

void SetReadWriteParameters(PIO_STACK_LOCATION stack, ULONG major, ULONG length, PLARGE_INTEGER offset) {
  stack->MajorFunction = (UCHAR)major;
  if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
    stack->Parameters.Read.Length = length;
    stack->Parameters.Read.ByteOffset.QuadPart = offset ? offset->QuadPart : 0;
  }
}

}  // namespace
}  // namespace sim

using namespace sim;

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                                    ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                                    BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                                    PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrqlPassive("IoBuildDeviceIoControlRequest");
  if (CurrentMachine().Pool().ShouldFail(0, __builtin_return_address(0))) return nullptr;
  PIRP irp = AllocateThreadIrp(DeviceObject, nullptr, {});
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  std::memset(stack, 0, sizeof *stack);
  stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
      ULONG size = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
      if (size) {
        irp->AssociatedIrp.SystemBuffer = std::malloc(size);
        if (InputBuffer && InputBufferLength) std::memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (OutputBuffer ? IRP_INPUT_OPERATION : 0);
        irp->UserBuffer = OutputBuffer;
      }
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (InputBuffer && InputBufferLength) {
        irp->AssociatedIrp.SystemBuffer = std::malloc(InputBufferLength);
        std::memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      if (OutputBuffer && OutputBufferLength)
        irp->MdlAddress = KernelAllocateLockedMdl(
            OutputBuffer, OutputBufferLength,
            METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
      break;
    default:  // METHOD_NEITHER
      stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
  }
  return irp;
}

extern "C" PIRP NTAPI IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                    ULONG Length, PLARGE_INTEGER StartingOffset,
                                                    PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "IoBuildAsynchronousFsdRequest");
  Machine& machine = CurrentMachine();
  if (machine.Pool().ShouldFail(0, __builtin_return_address(0))) return nullptr;
  PIRP irp = machine.Irps().Allocate(DeviceObject->StackSize, CurrentDriver(), {});
  irp->Tail.Overlay.Thread = (PETHREAD)CurrentThread();
  irp->UserIosb = IoStatusBlock;
  irp->IoStatus.Status = kUnsetStatus;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  std::memset(stack, 0, sizeof *stack);
  SetReadWriteParameters(stack, MajorFunction, Length, StartingOffset);
  if (!AttachBuffer(irp, DeviceObject, MajorFunction, Buffer, Length, false)) {
    machine.Irps().Free(irp, true);
    return nullptr;
  }
  return irp;
}

extern "C" PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                   ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                                   PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrqlPassive("IoBuildSynchronousFsdRequest");
  if (CurrentMachine().Pool().ShouldFail(0, __builtin_return_address(0))) return nullptr;
  PIRP irp = AllocateThreadIrp(DeviceObject, nullptr, {});
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  irp->Flags |= IRP_SYNCHRONOUS_API;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  std::memset(stack, 0, sizeof *stack);
  SetReadWriteParameters(stack, MajorFunction, Length, StartingOffset);
  AttachBuffer(irp, DeviceObject, MajorFunction, Buffer, Length, true);
  return irp;
}

extern "C" NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                                   PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject) {
  RequireIrqlPassive("IoGetDeviceObjectPointer");
  OpenRequest request;
  request.path = ToU16(ObjectName);
  request.access = DesiredAccess;
  request.synchronous = false;
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = OpenFile(request, &file);
  if (!NT_SUCCESS(status)) return status;
  // NT opens a handle, references the file object through it and closes the
  // handle again: the target sees create, then cleanup; close comes with the
  // caller's last dereference.
  ObjectManager& objects = CurrentMachine().Objects();
  objects.AddHandle(file);
  objects.Reference(file);
  objects.CloseHandle(file);
  *FileObject = file;
  *DeviceObject = IoGetRelatedDeviceObject(file);
  return STATUS_SUCCESS;
}

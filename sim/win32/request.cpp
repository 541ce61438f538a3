#include "sim/win32/request.h"

#include <mutex>

#include "sim/kernel/iomanager.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/win32/errors.h"

namespace win32::detail {

namespace {

// What the I/O manager does for a request once its IRP has completed: fill the
// caller's status block, set its event or the file's, and drop the IRP's
// reference on the file. It happens when both the IRP has completed and the
// issuing call knows whether the driver returned STATUS_PENDING, because a
// request that fails without pending reports its status only to the caller:
// the OVERLAPPED and the events are left as they were.
class Completion {
 public:
  Completion(PFILE_OBJECT file, OVERLAPPED* overlapped, std::shared_ptr<EventObject> userEvent)
      : file_(file),
        synchronousFile_((file->Flags & FO_SYNCHRONOUS_IO) != 0),
        overlapped_(overlapped),
        userEvent_(std::move(userEvent)) {}

  // The IRP's UserIosb. The OVERLAPPED, which has the same layout, is filled
  // from the result by Deliver, so that a request failing without pending
  // leaves it untouched.
  PIO_STATUS_BLOCK StatusBlock() { return &iosb_; }

  // The IRP completed: any thread, IRQL <= DISPATCH_LEVEL.
  void Finished(NTSTATUS status, ULONG_PTR information, CCHAR boost) {
    std::unique_lock lock(mutex_);
    status_ = status;
    information_ = information;
    boost_ = boost;
    finished_ = true;
    if (!returned_) return;
    lock.unlock();
    Deliver();
  }

  // The issuing call's IoCallDriver returned.
  void Returned(bool pending) {
    std::unique_lock lock(mutex_);
    pending_ = pending;
    returned_ = true;
    if (!finished_) return;
    lock.unlock();
    Deliver();
  }

  IoOutcome Outcome() {
    std::lock_guard guard(mutex_);
    return {status_, information_};
  }

  CCHAR Boost() {
    std::lock_guard guard(mutex_);
    return boost_;
  }

 private:
  // NT finishes a request in a kernel APC of the issuing thread, which drops
  // the IRP's reference on the file before that thread's wait returns: an
  // application that closes its handle once its request is done makes the
  // last reference go, and the file closes at once. The reference is dropped
  // first here for the same reason; only a last one (the handle was closed
  // while the request was pending) goes after the waiters were woken.
  void Deliver() {
    bool dropped = sim::CurrentMachine().Objects().DereferenceUnlessLast(file_);
    if (pending_ || !NT_ERROR(status_)) {
      if (overlapped_) {
        overlapped_->InternalHigh = information_;
        __atomic_store_n(&overlapped_->Internal, (ULONG_PTR)(ULONG)status_, __ATOMIC_RELEASE);
      }
      if (userEvent_) KeSetEvent(&userEvent_->event, boost_, FALSE);
      if (synchronousFile_ || !userEvent_) {
        file_->FinalStatus = status_;
        KeSetEvent(&file_->Event, boost_, FALSE);
      }
    }
    if (!dropped) DropIrpReference();
  }

  // A last dereference in NT's APC at APC_LEVEL hands the close to a worker
  // thread instead of re-entering the driver that is completing the request.
  void DropIrpReference() {
    KIRQL irql = KeGetCurrentIrql();
    if (irql < APC_LEVEL) KeRaiseIrql(APC_LEVEL, &irql);
    sim::CurrentMachine().Objects().Dereference(file_);
    if (irql < APC_LEVEL) KeLowerIrql(irql);
  }

  IO_STATUS_BLOCK iosb_{};  // the IRP's UserIosb
  PFILE_OBJECT file_;
  bool synchronousFile_;
  OVERLAPPED* overlapped_;
  std::shared_ptr<EventObject> userEvent_;

  std::mutex mutex_;
  bool finished_ = false;
  bool returned_ = false;
  bool pending_ = false;
  NTSTATUS status_ = STATUS_PENDING;
  ULONG_PTR information_ = 0;
  CCHAR boost_ = IO_NO_INCREMENT;
};

// NT's file object lock: one synchronous request at a time per file object.
// Busy marks the holder; Waiters counts threads that may wait on Lock, so the
// holder knows to wake one when it lets go.
void AcquireFileLock(PFILE_OBJECT file) {
  auto busy = (volatile LONG*)&file->Busy;
  auto waiters = (volatile LONG*)&file->Waiters;
  InterlockedIncrement(waiters);
  while (InterlockedExchange(busy, TRUE)) KeWaitForSingleObject(&file->Lock, Executive, UserMode, FALSE, nullptr);
  InterlockedDecrement(waiters);
}

void ReleaseFileLock(PFILE_OBJECT file) {
  InterlockedExchange((volatile LONG*)&file->Busy, FALSE);
  if (InterlockedCompareExchange((volatile LONG*)&file->Waiters, 0, 0)) KeSetEvent(&file->Lock, IO_NO_INCREMENT, FALSE);
}

// A request names its offset in the OVERLAPPED; without one, a synchronous
// file reads and writes at its current position.
LARGE_INTEGER ByteOffsetFor(PFILE_OBJECT file, const OVERLAPPED* overlapped) {
  LARGE_INTEGER offset{};
  if (overlapped) {
    offset.LowPart = overlapped->Offset;
    offset.HighPart = (LONG)overlapped->OffsetHigh;
  } else if (file->Flags & FO_SYNCHRONOUS_IO) {
    offset = file->CurrentByteOffset;
  }
  return offset;
}

PIRP BuildIrp(PFILE_OBJECT file, PDEVICE_OBJECT device, const IoCall& call, LARGE_INTEGER offset,
              const std::shared_ptr<Completion>& completion) {
  sim::IrpOriginator originator;
  originator.onFinished = [completion](NTSTATUS status, ULONG_PTR information, CCHAR boost) {
    completion->Finished(status, information, boost);
  };
  PIRP irp = sim::AllocateThreadIrp(device, file, std::move(originator));
  irp->RequestorMode = UserMode;
  irp->UserIosb = completion->StatusBlock();
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  std::memset(stack, 0, sizeof *stack);
  stack->MajorFunction = call.majorFunction;
  stack->FileObject = file;
  call.build(irp, stack, device, offset);
  return irp;
}

bool MovesFilePosition(UCHAR majorFunction) { return majorFunction == IRP_MJ_READ || majorFunction == IRP_MJ_WRITE; }

}  // namespace

IoOutcome IssueRequest(const FileRef& ref, const IoCall& call) {
  PFILE_OBJECT file = ref.File();
  bool synchronous = (file->Flags & FO_SYNCHRONOUS_IO) != 0;
  std::shared_ptr<EventObject> userEvent;
  if (call.overlapped && call.overlapped->hEvent) {
    NTSTATUS status = Handles().ReferenceEvent(call.overlapped->hEvent, &userEvent);
    if (!NT_SUCCESS(status)) return {status, 0};
  }
  if (synchronous) AcquireFileLock(file);
  LARGE_INTEGER offset = ByteOffsetFor(file, call.overlapped);
  if (userEvent) KeClearEvent(&userEvent->event);
  KeClearEvent(&file->Event);

  auto completion = std::make_shared<Completion>(file, call.overlapped, userEvent);
  PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
  PIRP irp = BuildIrp(file, device, call, offset, completion);
  sim::CurrentMachine().Objects().Reference(file);  // the IRP's, dropped at completion
  bool pending = IoCallDriver(device, irp) == STATUS_PENDING;
  completion->Returned(pending);

  IoOutcome outcome{STATUS_PENDING, 0};
  if (!pending || synchronous || !call.overlapped) {
    // The caller waits on the file object, which completion sets for a
    // synchronous file and for a request without an event of its own
    // (kernel32 then waits on the file handle).
    if (pending) KeWaitForSingleObject(&file->Event, Executive, UserMode, FALSE, nullptr);
    outcome = completion->Outcome();
    RecordIoBoost(completion->Boost());
  }
  if (synchronous) {
    if (MovesFilePosition(call.majorFunction) && !NT_ERROR(outcome.status))
      file->CurrentByteOffset.QuadPart = offset.QuadPart + (LONGLONG)outcome.information;
    ReleaseFileLock(file);
  }
  return outcome;
}

}  // namespace win32::detail

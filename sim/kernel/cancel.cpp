// The I/O manager's cancel spin lock and IoCancelIrp.
#include <atomic>
#include <thread>

#include "sim/kernel/irp.h"
#include "sim/kernel/lockorder.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/verifier.h"

namespace sim {
namespace {

std::atomic<KThread*> cancelLockOwner{nullptr};

KIRQL AcquireCancelLock(const char* routine) {
  KThread* thread = CurrentThread();
  if (thread->irql > DISPATCH_LEVEL)
    VerifierStop(Rule::CancelSpinLock, nullptr, "%s at IRQL %d", routine, thread->irql);
  if (thread->holdsCancelLock)
    VerifierStop(Rule::CancelSpinLock, nullptr, "%s while this thread already holds the cancel spin lock", routine);
  CurrentMachine().Locks().Acquiring(thread->spinLocks, false, &kCancelSpinLockIdentity);
  KIRQL old = thread->irql;
  thread->irql = DISPATCH_LEVEL;
  for (KThread* expected = nullptr; !cancelLockOwner.compare_exchange_weak(expected, thread); expected = nullptr)
    std::this_thread::yield();
  thread->holdsCancelLock = true;
  return old;
}

}  // namespace
}  // namespace sim

using namespace sim;

extern "C" void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  MaybeYield();
  *Irql = AcquireCancelLock("IoAcquireCancelSpinLock");
}

extern "C" void NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  KThread* thread = CurrentThread();
  if (!thread->holdsCancelLock)
    VerifierStop(Rule::CancelSpinLock, nullptr, "IoReleaseCancelSpinLock without holding the cancel spin lock");
  if (Irql > thread->irql)
    VerifierStop(Rule::RaiseLower, nullptr, "IoReleaseCancelSpinLock to IRQL %d from the lower IRQL %d", Irql, thread->irql);
  thread->holdsCancelLock = false;
  cancelLockOwner.store(nullptr);
  thread->irql = Irql;
  MaybeYield();
}

extern "C" BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  MaybeYield();
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "IoCancelIrp");
  CurrentMachine().Irps().Require(Irp, "IoCancelIrp");
  KIRQL old = AcquireCancelLock("IoCancelIrp");
  // Completion reads Cancel without the cancel spin lock (as NT's does).
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
  auto routine = (PDRIVER_CANCEL)InterlockedExchangePointer((PVOID volatile*)&Irp->CancelRoutine, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(old);
    return FALSE;
  }
  Irp->CancelIrql = old;
  PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
  FrameScope frame(device ? device->DriverObject : CurrentDriver(), (const void*)routine, FrameKind::Cancel, Irp);
  frame.ExpectExitIrql(old);
  routine(device, Irp);
  return TRUE;
}

extern "C" BOOLEAN NTAPI IoIsOperationSynchronous(PIRP Irp) {
  if (Irp->Flags & (IRP_SYNCHRONOUS_API | IRP_SYNCHRONOUS_PAGING_IO)) return TRUE;
  PFILE_OBJECT file = Irp->Tail.Overlay.OriginalFileObject;
  return file && (file->Flags & FO_SYNCHRONOUS_IO) ? TRUE : FALSE;
}

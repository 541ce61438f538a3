// IRP allocation, IoCallDriver and IoCompleteRequest, with the verifier's IRP
// lifecycle rules checked at each step.
#include "sim/kernel/irp.h"

#include <cstdio>
#include <cstdlib>

#include "sim/kernel/machine.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/trace.h"
#include "sim/kernel/verifier.h"

namespace sim {

namespace {
constexpr size_t kQuarantine = 512;
constexpr unsigned char kFreedIrpFill = 0xDD;

void PoisonStackLocations(PIRP irp) {
  auto* stack = (PIO_STACK_LOCATION)(irp + 1);
  for (int i = 0; i < irp->StackCount; ++i) stack[i].MajorFunction = kUnsetMajor;
}

void InitializeIrp(PIRP irp, USHORT size, CCHAR stackSize) {
  std::memset(irp, 0, size);
  irp->Type = IO_TYPE_IRP;
  irp->Size = size;
  irp->StackCount = stackSize;
  irp->CurrentLocation = (CHAR)(stackSize + 1);
  irp->ApcEnvironment = 0;
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(irp + 1) + stackSize;
  PoisonStackLocations(irp);
}
}  // namespace

IrpTracker::~IrpTracker() {
  for (auto& [irp, record] : live_) std::free(irp);
  for (PIRP irp : quarantine_) std::free(irp);
}

PIRP IrpTracker::Allocate(CCHAR stackSize, PDRIVER_OBJECT allocator, IrpOriginator originator) {
  if (stackSize < 1)
    VerifierStop(Rule::StackLocationMisuse, nullptr, "an IRP with %d stack locations was requested", stackSize);
  USHORT size = (USHORT)IoSizeOfIrp(stackSize);
  auto irp = (PIRP)std::malloc(size);
  InitializeIrp(irp, size, stackSize);
  auto record = std::make_shared<IrpRecord>();
  record->irp = irp;
  record->allocator = allocator;
  record->originator = std::move(originator);
  record->levels.resize(stackSize + 2);
  std::lock_guard guard(mutex_);
  live_[irp] = std::move(record);
  return irp;
}

std::shared_ptr<IrpRecord> IrpTracker::Find(PIRP irp) {
  std::lock_guard guard(mutex_);
  auto it = live_.find(irp);
  return it == live_.end() ? nullptr : it->second;
}

std::shared_ptr<IrpRecord> IrpTracker::Require(PIRP irp, const char* routine) {
  std::shared_ptr<IrpRecord> record;
  bool wasFreed = false;
  {
    std::lock_guard guard(mutex_);
    if (auto it = live_.find(irp); it != live_.end()) record = it->second;
    else wasFreed = freed_.count(irp) != 0;
  }
  if (!record && wasFreed) VerifierStop(Rule::DoubleCompletion, nullptr, "%s on IRP %p after it was freed", routine, (void*)irp);
  if (!record) VerifierStop(Rule::KernelStop, nullptr, "%s on %p, which is not an IRP", routine, (void*)irp);
  return record;
}

// A location the allocator set up for itself (IoSetNextIrpStackLocation
// before the first send) and that no dispatch routine ever got is the
// allocator's, whatever device the allocator wrote into it.
static bool AllocatorsOwnLocation(const IrpRecord& record, int location, PDRIVER_OBJECT caller) {
  return caller && record.allocator == caller && record.levels[location].pass == 0;
}

void IrpTracker::Free(PIRP irp, bool byIoManager) {
  std::shared_ptr<IrpRecord> record = Require(irp, "IoFreeIrp");
  if (!byIoManager) {
    if (record->originator.threadIrp)
      VerifierStop(Rule::FreeIrpInUse, irp, "IoFreeIrp on an IRP the I/O manager built for a thread; it frees it itself");
    // A dispatch routine the completion walk has passed gave the IRP up (it
    // completed it or passed it on and is only returning): the originator's
    // routine may free the IRP while such routines are still on the stack.
    for (const IrpLevel& level : record->levels)
      if (level.activeDispatches && !level.passed)
        VerifierStop(Rule::FreeIrpInUse, irp, "IoFreeIrp on an IRP a dispatch routine is still working on");
    if (record->inDeviceQueue) VerifierStop(Rule::FreeIrpInUse, irp, "IoFreeIrp on an IRP still in a device queue");
    if (irp->CancelRoutine) VerifierStop(Rule::FreeIrpInUse, irp, "IoFreeIrp on an IRP that still has a cancel routine");
    if (record->state == IrpRecord::State::Completing && record->routinesRunning == 0)
      VerifierStop(Rule::FreeIrpInUse, irp, "IoFreeIrp on an IRP whose completion is in progress");
    if (record->state == IrpRecord::State::Active && irp->CurrentLocation <= irp->StackCount &&
        !AllocatorsOwnLocation(*record, irp->CurrentLocation, CurrentDriver())) {
      PDEVICE_OBJECT holder = irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
      if (holder && holder->DriverObject != CurrentDriver())
        VerifierStop(Rule::FreeIrpInUse, irp, "IoFreeIrp on an IRP that %s still holds", DriverName(holder->DriverObject).c_str());
    }
  }
  std::lock_guard guard(mutex_);
  if (record->pins > 0) {
    record->freeDeferred = true;
    return;
  }
  ReleaseLocked(irp, record);
}

void IrpTracker::ReleaseLocked(PIRP irp, const std::shared_ptr<IrpRecord>& record) {
  record->state = IrpRecord::State::Freed;
  live_.erase(irp);
  freed_[irp] = record;
  std::memset(irp, kFreedIrpFill, irp->Size);
  quarantine_.push_back(irp);
  if (quarantine_.size() > kQuarantine) {
    PIRP oldest = quarantine_.front();
    quarantine_.pop_front();
    freed_.erase(oldest);
    std::free(oldest);
  }
}

namespace {
bool IssuedFrom(const IrpRecord& record, void* thread) {
  return record.originator.threadIrp && record.originator.issuingThread == thread;
}

// A request under completion is still on its thread's list until the I/O
// manager finishes it: a completion routine may yet send it on again.
bool IsPendingFrom(const IrpRecord& record, void* thread, PFILE_OBJECT file, bool anyFile) {
  return IssuedFrom(record, thread) && (anyFile || record.originator.fileObject == file) &&
         (record.state == IrpRecord::State::Active || record.state == IrpRecord::State::Completing);
}
}  // namespace

std::vector<PIRP> IrpTracker::IssuedBy(void* thread, PFILE_OBJECT file) {
  std::lock_guard guard(mutex_);
  std::vector<PIRP> out;
  for (auto& [irp, record] : live_)
    if (IsPendingFrom(*record, thread, file, false)) out.push_back(irp);
  return out;
}

std::vector<PIRP> IrpTracker::PinIssuedBy(void* thread, PFILE_OBJECT file) { return Pin(thread, file, false); }

std::vector<PIRP> IrpTracker::PinIssuedByThread(void* thread) { return Pin(thread, nullptr, true); }

std::vector<PIRP> IrpTracker::Pin(void* thread, PFILE_OBJECT file, bool anyFile) {
  std::lock_guard guard(mutex_);
  std::vector<PIRP> out;
  for (auto& [irp, record] : live_) {
    if (!IsPendingFrom(*record, thread, file, anyFile)) continue;
    ++record->pins;
    out.push_back(irp);
  }
  return out;
}

bool IrpTracker::AnyIssuedBy(void* thread) {
  std::lock_guard guard(mutex_);
  for (auto& [irp, record] : live_)
    if (IssuedFrom(*record, thread)) return true;
  return false;
}

size_t IrpTracker::DisassociateFrom(void* thread) {
  std::lock_guard guard(mutex_);
  size_t count = 0;
  for (auto& [irp, record] : live_) {
    if (!IssuedFrom(*record, thread)) continue;
    record->originator.issuingThread = nullptr;
    irp->Tail.Overlay.Thread = nullptr;
    ++count;
  }
  return count;
}

void IrpTracker::Unpin(PIRP irp) {
  std::lock_guard guard(mutex_);
  std::shared_ptr<IrpRecord> record = live_.at(irp);
  if (--record->pins == 0 && record->freeDeferred) ReleaseLocked(irp, record);
}

size_t IrpTracker::LiveCount() {
  std::lock_guard guard(mutex_);
  return live_.size();
}

std::string IrpTracker::DescribeLive() {
  std::unique_lock guard(mutex_, std::try_to_lock);
  if (!guard.owns_lock()) return "";
  static const char* const states[] = {"active", "completing", "finished", "freed"};
  std::string out;
  for (auto& [irp, record] : live_) {
    char line[320];
    bool inStack = irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount;
    PIO_STACK_LOCATION at = inStack ? IoGetCurrentIrpStackLocation(irp) : nullptr;
    PDRIVER_OBJECT driver = at && at->DeviceObject ? at->DeviceObject->DriverObject : nullptr;
    std::snprintf(line, sizeof line, "\n      IRP %p: %s, major 0x%02X at location %d of %d (%s)%s%s%s", (void*)irp,
                  states[(int)record->state], at ? at->MajorFunction : 0xFF, irp->CurrentLocation, irp->StackCount,
                  driver ? DriverName(driver).c_str() : "no driver", irp->Cancel ? ", cancelled" : "",
                  irp->CancelRoutine ? ", cancel routine " : "",
                  irp->CancelRoutine ? SymbolName((const void*)irp->CancelRoutine).c_str() : "");
    out += line;
  }
  return out;
}

namespace {

PDRIVER_OBJECT OwnerOfLocation(PIRP irp, int location) {
  if (location < 1 || location > irp->StackCount) return nullptr;
  PDEVICE_OBJECT device = ((PIO_STACK_LOCATION)(irp + 1))[location - 1].DeviceObject;
  return device ? device->DriverObject : nullptr;
}

// The caller must own the IRP: the driver of its current location, or (before
// it was first sent) the driver that allocated it.
void CheckOwnership(PIRP irp, const IrpRecord& record, const char* routine) {
  PDRIVER_OBJECT caller = CurrentDriver();
  if (!caller) return;
  int location = irp->CurrentLocation;
  if (location > irp->StackCount) {
    // The top driver skipped its location. If the IRP is pending below again
    // on that location, it is the lower driver's, not the caller's.
    const IrpLevel& top = record.levels[irp->StackCount];
    PDRIVER_OBJECT topOwner = OwnerOfLocation(irp, irp->StackCount);
    if (top.returnedPending && !top.passed && topOwner && topOwner != caller)
      VerifierStop(Rule::StackLocationMisuse, irp, "%s by %s on an IRP that %s owns", routine, DriverName(caller).c_str(),
                   DriverName(topOwner).c_str());
    if (record.allocator && record.allocator != caller)
      VerifierStop(Rule::StackLocationMisuse, irp, "%s by %s on an IRP that %s allocated and has not sent", routine,
                   DriverName(caller).c_str(), DriverName(record.allocator).c_str());
    return;
  }
  if (AllocatorsOwnLocation(record, location, caller)) return;
  // After IoSkipCurrentIrpStackLocation the caller's own location is the next one.
  if (OwnerOfLocation(irp, location) == caller || OwnerOfLocation(irp, location - 1) == caller) return;
  VerifierStop(Rule::StackLocationMisuse, irp, "%s by %s on an IRP that %s owns", routine, DriverName(caller).c_str(),
               DriverName(OwnerOfLocation(irp, location)).c_str());
}

void CheckNextLocation(PIRP irp, const char* routine) {
  if (irp->CurrentLocation <= 1)
    VerifierStop(Rule::StackLocationMisuse, irp, "%s with no stack location left for the next driver", routine);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  if (next->MajorFunction == kUnsetMajor)
    VerifierStop(Rule::StackLocationMisuse, irp,
                 "%s without setting up the next stack location (copy, skip or fill it first)", routine);
  if (irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
    if (next->CompletionRoutine && next->CompletionRoutine == current->CompletionRoutine &&
        next->Context == current->Context)
      VerifierStop(Rule::StackLocationMisuse, irp,
                   "%s with the upper driver's completion routine %s copied into the next stack location", routine,
                   SymbolName((const void*)next->CompletionRoutine).c_str());
  }
}

// What a dispatch routine's return value says about the IRP, checked once it
// returned. The IRP itself may be gone by now; only the record is read. If the
// IRP was reused meanwhile, the routine had given it up before that (it was
// completed at once and reused from a completion routine) and its level's
// record belongs to the new use.
void CheckDispatchReturn(IrpRecord& record, int location, int generation, int pass, NTSTATUS status, PIRP irp) {
  std::unique_lock lock(CurrentMachine().Irps().Lock());
  if (record.generation != generation) return;
  IrpLevel retired;
  IrpLevel* current = &record.levels[location];
  if (current->pass != pass) {
    // The routine of an earlier pass returns: check it against that pass.
    auto found = record.retiredLevels.find({location, pass});
    if (found == record.retiredLevels.end()) return;
    retired = found->second;
    if (--found->second.activeDispatches == 0) record.retiredLevels.erase(found);
    current = &retired;
  } else {
    --current->activeDispatches;
  }
  IrpLevel& level = *current;
  if (status == STATUS_PENDING) {
    if (level.passed && !level.pendingAtPass) {
      lock.unlock();
      VerifierStop(Rule::PendingMismatch, irp, "the dispatch routine returned STATUS_PENDING without IoMarkIrpPending");
    }
    if (!level.passed) level.returnedPending = true;
    return;
  }
  if (!level.passed) {
    // Not completed yet: if the routine marked its location pending it queued
    // the IRP and returned the wrong status; otherwise it lost the IRP. A
    // parked location was marked by PoCallDriver, not by the routine.
    bool marked = !level.parked && record.state != IrpRecord::State::Freed &&
                  (((PIO_STACK_LOCATION)(irp + 1))[location - 1].Control & SL_PENDING_RETURNED);
    lock.unlock();
    if (marked)
      VerifierStop(Rule::PendingMismatch, irp, "the IRP was marked pending but the dispatch routine returned 0x%08X",
                   (unsigned)status);
    VerifierStop(Rule::LostIrp, irp,
                 "the dispatch routine returned 0x%08X without completing the IRP, passing it on or returning STATUS_PENDING",
                 (unsigned)status);
  }
  // PoCallDriver already returned STATUS_PENDING for a parked IRP; what this
  // routine returns goes to the power manager's worker, which ignores it.
  if (level.pendingAtPass && !level.parked) {
    lock.unlock();
    VerifierStop(Rule::PendingMismatch, irp, "the IRP was marked pending but the dispatch routine returned 0x%08X",
                 (unsigned)status);
  }
  if (level.statusAtPass != status) {
    NTSTATUS completed = level.statusAtPass;
    lock.unlock();
    VerifierStop(Rule::StatusMismatch, irp, "the dispatch routine returned 0x%08X but completed the IRP with 0x%08X",
                 (unsigned)status, (unsigned)completed);
  }
}

// Records that completion walked past `location`, and checks a dispatch routine
// there that already returned STATUS_PENDING.
void PassLocation(IrpRecord& record, PIRP irp, int location, bool pending) {
  std::unique_lock lock(CurrentMachine().Irps().Lock());
  IrpLevel& level = record.levels[location];
  level.passed = true;
  level.pendingAtPass = pending;
  level.statusAtPass = irp->IoStatus.Status;
  if (level.returnedPending && !pending) {
    lock.unlock();
    VerifierStop(Rule::PendingMismatch, irp,
                 "the dispatch routine at stack location %d returned STATUS_PENDING without IoMarkIrpPending", location);
  }
}

bool ShouldInvoke(PIRP irp, UCHAR control) {
  // IoCancelIrp may be setting Cancel on another thread this very moment.
  if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL)) return true;
  return NT_SUCCESS(irp->IoStatus.Status) ? (control & SL_INVOKE_ON_SUCCESS) != 0 : (control & SL_INVOKE_ON_ERROR) != 0;
}

// Runs one completion routine. Returns true when it took the IRP back with
// STATUS_MORE_PROCESSING_REQUIRED, after which the IRP must not be touched.
bool RunCompletionRoutine(IrpRecord& record, PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context) {
  PDEVICE_OBJECT upper = irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
  PDRIVER_OBJECT owner = upper ? upper->DriverObject : record.allocator;
  bool pendingReturned = irp->PendingReturned;
  int upperLocation = irp->CurrentLocation;
  IrpTracker& tracker = CurrentMachine().Irps();
  int generation;
  uint64_t invocation, sentOn;
  {
    std::lock_guard guard(tracker.Lock());
    ++record.routinesRunning;
    generation = record.generation;
    invocation = record.nextRoutineInvocation++;
    record.completedDuringRoutine[invocation] = false;
    sentOn = record.sentOnDuringRoutines;
  }
  // The routine's frame stays on the stack while its result is checked, so
  // that a report names it.
  FrameScope frame(owner, (const void*)routine, FrameKind::Completion, irp);
  NTSTATUS status = routine(upper, irp, context);
  std::unique_lock lock(tracker.Lock());
  --record.routinesRunning;
  auto node = record.completedDuringRoutine.extract(invocation);
  bool completedAgain = node.mapped() || record.sentOnDuringRoutines != sentOn;
  if (status == STATUS_MORE_PROCESSING_REQUIRED) {
    // The driver has the IRP back, unless it was completed again meanwhile or
    // the routine freed or reused it (it may be on its way again already).
    if (!completedAgain && record.state == IrpRecord::State::Completing && record.generation == generation)
      record.state = IrpRecord::State::Active;
    return true;
  }
  if (completedAgain) {
    lock.unlock();
    VerifierStop(Rule::DoubleCompletion, irp,
                 "completion routine %s completed the IRP again and returned 0x%08X instead of STATUS_MORE_PROCESSING_REQUIRED",
                 SymbolName((const void*)routine).c_str(), (unsigned)status);
  }
  lock.unlock();
  if (pendingReturned && upperLocation <= irp->StackCount &&
      !(IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED))
    VerifierStop(Rule::CompletionRoutineContract, irp,
                 "completion routine %s returned 0x%08X without propagating pending (if (Irp->PendingReturned) "
                 "IoMarkIrpPending(Irp))",
                 SymbolName((const void*)routine).c_str(), (unsigned)status);
  return false;
}

}  // namespace
}  // namespace sim

using namespace sim;

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "IoAllocateIrp");
  if (CurrentMachine().Pool().ShouldFail(0, __builtin_return_address(0))) return nullptr;
  return CurrentMachine().Irps().Allocate(StackSize, CurrentDriver(), {});
}

extern "C" void NTAPI IoFreeIrp(PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "IoFreeIrp");
  CurrentMachine().Irps().Free(Irp, false);
}

extern "C" void NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  // Only for IRPs whose memory the driver allocated itself; the kernel does not
  // track those, so they cannot be sent through the simulated I/O manager.
  VerifierStop(Rule::KernelStop, Irp, "IoInitializeIrp on driver-allocated IRP memory is not supported here; use IoAllocateIrp");
}

extern "C" void NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status) {
  auto record = CurrentMachine().Irps().Require(Irp, "IoReuseIrp");
  if (record->state == IrpRecord::State::Completing && record->routinesRunning == 0)
    VerifierStop(Rule::FreeIrpInUse, Irp, "IoReuseIrp on an IRP whose completion is in progress");
  CCHAR stackSize = Irp->StackCount;
  USHORT size = Irp->Size;
  UCHAR allocationFlags = Irp->AllocationFlags;
  std::memset(Irp, 0, size);
  Irp->Type = IO_TYPE_IRP;
  Irp->Size = size;
  Irp->StackCount = stackSize;
  Irp->CurrentLocation = (CHAR)(stackSize + 1);
  Irp->AllocationFlags = allocationFlags;
  InitializeListHead(&Irp->ThreadListEntry);
  Irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(Irp + 1) + stackSize;
  auto* stack = (PIO_STACK_LOCATION)(Irp + 1);
  for (int i = 0; i < stackSize; ++i) stack[i].MajorFunction = kUnsetMajor;
  Irp->IoStatus.Status = Status;
  std::lock_guard guard(CurrentMachine().Irps().Lock());
  record->state = IrpRecord::State::Active;
  ++record->generation;
  record->levels.assign(stackSize + 2, IrpLevel{});
  record->retiredLevels.clear();
}

namespace sim {
namespace {

// Whether a completion routine is running for `irp` while the driver owning
// its current location sends it on: from inside that routine (the next stage
// of a transfer), or from a thread the routine has just woken (forward and
// wait, then send again). Either way the routine must return
// STATUS_MORE_PROCESSING_REQUIRED. Called with the tracker's lock held.
bool SentOnDuringOwnRoutine(PIRP irp, const IrpRecord& record) {
  if (record.state != IrpRecord::State::Completing || record.routinesRunning == 0) return false;
  if (irp->CurrentLocation > irp->StackCount) return false;
  PDRIVER_OBJECT caller = CurrentDriver();
  return caller && caller == OwnerOfLocation(irp, irp->CurrentLocation);
}

// IoCallDriver's checks, then the move to `device`'s stack location. Returns
// the location and, in `generation`, the IRP's generation at that moment.
int AdvanceToDevice(PDEVICE_OBJECT device, PIRP irp, IrpRecord& record, const char* routine, bool powerCall,
                    bool parked, int* generation) {
  {
    // NT lets the driver whose completion routine is running send its IRP on
    // again; the routine then returns STATUS_MORE_PROCESSING_REQUIRED.
    std::lock_guard guard(CurrentMachine().Irps().Lock());
    if (SentOnDuringOwnRoutine(irp, record)) {
      record.state = IrpRecord::State::Active;
      ++record.sentOnDuringRoutines;
    }
  }
  if (record.state != IrpRecord::State::Active)
    VerifierStop(Rule::DoubleCompletion, irp, "%s on an IRP that was already completed", routine);
  // Read as IoSetCancelRoutine and IoCancelIrp write it: atomically, since
  // another thread may be cancelling the IRP this very moment.
  if (PDRIVER_CANCEL cancelRoutine = __atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST))
    VerifierStop(Rule::CancelRoutineOwnership, irp, "%s on an IRP that still has cancel routine %s", routine,
                 SymbolName((const void*)cancelRoutine).c_str());
  CheckOwnership(irp, record, routine);
  CheckNextLocation(irp, routine);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  if (!powerCall && next->MajorFunction == IRP_MJ_POWER && next->MinorFunction != IRP_MN_POWER_SEQUENCE)
    VerifierStop(Rule::PowerIrpContract, irp,
                 "IoCallDriver passed a power IRP (minor 0x%02x) on; Windows 2000 and XP require PoCallDriver",
                 next->MinorFunction);

  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->DeviceObject = device;
  int location = irp->CurrentLocation;
  if (location > 1) IoGetNextIrpStackLocation(irp)->MajorFunction = kUnsetMajor;
  std::lock_guard guard(CurrentMachine().Irps().Lock());
  *generation = record.generation;
  IrpLevel& level = record.levels[location];
  int pass = level.pass + 1;
  // Dispatch routines of the pass the completion walk went past may still be
  // returning (the IRP is sent here again from a completion routine inside
  // them): they keep their pass's record; this pass starts afresh.
  if (level.activeDispatches && level.passed) record.retiredLevels[{location, level.pass}] = level;
  if (level.activeDispatches == 0 || level.passed) level = IrpLevel{};
  level.pass = pass;
  if (parked) {
    level.parked = true;
    stack->Control |= SL_PENDING_RETURNED;
  } else {
    ++level.activeDispatches;
  }
  return location;
}

// Calls the dispatch routine of the device at the IRP's current location and
// checks what it returned.
NTSTATUS RunDispatch(PDEVICE_OBJECT device, PIRP irp, IrpRecord& record, int location, int generation, int pass) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PDRIVER_OBJECT driver = device->DriverObject;
  PDRIVER_DISPATCH dispatch = driver->MajorFunction[stack->MajorFunction];
  int depth = (int)CurrentThread()->frames.size();
  TraceEvent event{TraceEvent::Kind::Dispatch, irp, stack->MajorFunction, stack->MinorFunction, driver,
                   (const void*)dispatch, 0, 0, depth};
  Trace(event);
  NTSTATUS status;
  {
    FrameScope frame(driver, (const void*)dispatch, FrameKind::Dispatch, irp);
    status = dispatch(device, irp);
    // Checked before the frame goes, so that a report names the routine.
    CheckDispatchReturn(record, location, generation, pass, status, irp);
  }
  event.kind = TraceEvent::Kind::Return;
  event.status = status;
  Trace(event);
  return status;
}

}  // namespace

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool powerCall) {
  MaybeYield();
  const char* routine = powerCall ? "PoCallDriver" : "IoCallDriver";
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, routine);
  auto record = CurrentMachine().Irps().Require(irp, routine);
  int generation;
  int location = AdvanceToDevice(device, irp, *record, routine, powerCall, false, &generation);
  int pass;
  {
    std::lock_guard guard(CurrentMachine().Irps().Lock());
    pass = record->levels[location].pass;
  }
  return RunDispatch(device, irp, *record, location, generation, pass);
}

void ParkIrp(PDEVICE_OBJECT device, PIRP irp) {
  auto record = CurrentMachine().Irps().Require(irp, "PoCallDriver");
  int generation;
  AdvanceToDevice(device, irp, *record, "PoCallDriver", true, true, &generation);
}

NTSTATUS DispatchParked(PIRP irp) {
  auto record = CurrentMachine().Irps().Require(irp, "PoCallDriver");
  int location = irp->CurrentLocation;
  int generation, pass;
  {
    std::lock_guard guard(CurrentMachine().Irps().Lock());
    generation = record->generation;
    ++record->levels[location].activeDispatches;
    pass = record->levels[location].pass;
  }
  return RunDispatch(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp, *record, location, generation, pass);
}

}  // namespace sim

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return CallDriver(DeviceObject, Irp, false);
}

extern "C" void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  MaybeYield();
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "IoCompleteRequest");
  Machine& machine = CurrentMachine();
  auto record = machine.Irps().Require(Irp, "IoCompleteRequest");
  {
    std::unique_lock lock(machine.Irps().Lock());
    if (record->state == IrpRecord::State::Completing && record->routinesRunning > 0) {
      // Allowed if the routines running now return STATUS_MORE_PROCESSING_REQUIRED.
      for (auto& [invocation, completedAgain] : record->completedDuringRoutine) completedAgain = true;
    } else if (record->state != IrpRecord::State::Active) {
      lock.unlock();
      VerifierStop(Rule::DoubleCompletion, Irp, "IoCompleteRequest on an IRP that was already completed");
    }
  }
  // Read as IoSetCancelRoutine and IoCancelIrp write it: atomically.
  if (PDRIVER_CANCEL cancelRoutine = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST))
    VerifierStop(Rule::CompleteWithCancelRoutine, Irp, "IoCompleteRequest while cancel routine %s is still set",
                 SymbolName((const void*)cancelRoutine).c_str());
  if (Irp->IoStatus.Status == STATUS_PENDING)
    VerifierStop(Rule::BadCompletionStatus, Irp, "IoCompleteRequest with status STATUS_PENDING");
  if (Irp->IoStatus.Status == kUnsetStatus)
    VerifierStop(Rule::BadCompletionStatus, Irp, "IoCompleteRequest with a status nobody set");
  if (Irp->CurrentLocation > Irp->StackCount + 1)
    VerifierStop(Rule::DoubleCompletion, Irp, "IoCompleteRequest on an IRP already completed to the top");
  CheckOwnership(Irp, *record, "IoCompleteRequest");
  if (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_POWER) CheckPowerIrpCompletion(Irp);
    Trace({TraceEvent::Kind::Complete, Irp, stack->MajorFunction, stack->MinorFunction, CurrentDriver(), nullptr,
           Irp->IoStatus.Status, Irp->IoStatus.Information, (int)CurrentThread()->frames.size()});
  }
  {
    std::lock_guard guard(machine.Irps().Lock());
    record->state = IrpRecord::State::Completing;
    record->boost = PriorityBoost;
  }

  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    int location = Irp->CurrentLocation;
    IoSkipCurrentIrpStackLocation(Irp);
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    PassLocation(*record, Irp, location, Irp->PendingReturned);
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    if (routine && ShouldInvoke(Irp, stack->Control)) {
      if (RunCompletionRoutine(*record, Irp, routine, context)) return;
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
  }

  {
    std::lock_guard guard(machine.Irps().Lock());
    record->state = IrpRecord::State::Finished;
  }
  if (record->originator.threadIrp) {
    FinishThreadIrp(Irp, *record);
    return;
  }
  VerifierStop(Rule::CompletionRoutineContract, Irp,
               "an IRP %s allocated completed to the top; its completion routine must free it and return "
               "STATUS_MORE_PROCESSING_REQUIRED",
               DriverName(record->allocator).c_str());
}

extern "C" NTSTATUS NTAPI IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                   PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                                   BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                                   BOOLEAN InvokeOnCancel) {
  // NT allocates a context that keeps the driver loaded until the routine ran;
  // drivers here are never unloaded while they own IRPs, so the plain form serves.
  IoSetCompletionRoutine(Irp, CompletionRoutine, Context, InvokeOnSuccess, InvokeOnError, InvokeOnCancel);
  return STATUS_SUCCESS;
}

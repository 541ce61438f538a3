// IRPs and the I/O manager's call and completion paths, with the bookkeeping
// the verifier needs: who owns each IRP, what each stack level returned, and
// where its completion stands.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "sim/ddk/ntddk.h"

namespace sim {

// The status an IRP built by the I/O manager carries until a driver sets one;
// completing with it is a BadCompletionStatus.
constexpr NTSTATUS kUnsetStatus = (NTSTATUS)0xFFFFFFFF;
// MajorFunction of a stack location nobody has set up yet.
constexpr UCHAR kUnsetMajor = 0xFF;

// What the verifier knows of one stack location of an IRP.
struct IrpLevel {
  int activeDispatches = 0;       // dispatch routines running at this location
  bool returnedPending = false;   // one of them returned STATUS_PENDING before the walk passed
  bool passed = false;            // completion has walked past this location
  bool pendingAtPass = false;     // SL_PENDING_RETURNED when it did
  NTSTATUS statusAtPass = 0;      // IoStatus.Status when it did
  bool parked = false;            // PoCallDriver marked it pending and holds the IRP for a later dispatch
  int pass = 0;                   // which sending of the IRP to this location the fields describe
};

// How the I/O manager finishes an IRP that completes to the top.
struct IrpOriginator {
  bool threadIrp = false;  // the I/O manager finishes and frees it
  // Called when a thread IRP finished (after the status block and event were set).
  std::function<void(NTSTATUS status, ULONG_PTR information, CCHAR boost)> onFinished;
  // Called when the IRP completed to the top, before the I/O manager frees it:
  // the power manager's request callbacks see the IRP as NT shows it to them.
  std::function<void(PIRP irp)> onCompleted;
  PFILE_OBJECT fileObject = nullptr;  // for CancelIo
  void* issuingThread = nullptr;      // the KThread that issued it
};

struct IrpRecord {
  enum class State { Active, Completing, Finished, Freed };
  PIRP irp = nullptr;
  State state = State::Active;
  PDRIVER_OBJECT allocator = nullptr;  // driver that allocated it, if any
  IrpOriginator originator;
  int routinesRunning = 0;             // completion routines running now
  // Each running completion routine, by invocation, with whether the IRP was
  // completed again while it ran (then it must return STATUS_MORE_PROCESSING_REQUIRED).
  // Per invocation, so that routines of the resumed walk are not held to it.
  std::map<uint64_t, bool> completedDuringRoutine;
  uint64_t nextRoutineInvocation = 0;
  // Bumped each time the IRP is sent on while completion routines run (see
  // AdvanceToDevice): a routine that saw it change must have returned
  // STATUS_MORE_PROCESSING_REQUIRED.
  uint64_t sentOnDuringRoutines = 0;
  bool inDeviceQueue = false;
  CCHAR boost = 0;
  int pins = 0;                        // CancelIo holds it: the I/O manager's free waits
  bool freeDeferred = false;           // the I/O manager freed it while pinned
  int generation = 0;                  // bumped by IoReuseIrp, which starts `levels` afresh
  std::vector<IrpLevel> levels;        // index = stack location (1..StackCount)
  // Earlier passes of a location whose dispatch routines are still returning
  // while the IRP was sent there again (a completion routine sending the next
  // stage from inside the lower driver's completion), by (location, pass).
  std::map<std::pair<int, int>, IrpLevel> retiredLevels;
};

class IrpTracker {
 public:
  ~IrpTracker();
  PIRP Allocate(CCHAR stackSize, PDRIVER_OBJECT allocator, IrpOriginator originator);
  void Free(PIRP irp, bool byIoManager);
  std::shared_ptr<IrpRecord> Find(PIRP irp);
  // Stops with a clear report when `irp` is not a live IRP.
  std::shared_ptr<IrpRecord> Require(PIRP irp, const char* routine);
  std::mutex& Lock() { return mutex_; }
  // Live IRPs issued by `thread` on `file` (CancelIo).
  std::vector<PIRP> IssuedBy(void* thread, PFILE_OBJECT file);
  // As IssuedBy, but each IRP stays allocated until Unpin, even if it
  // completes meanwhile: NT's CancelIo walks the thread's IRPs at APC_LEVEL,
  // where the completion that frees them cannot run.
  std::vector<PIRP> PinIssuedBy(void* thread, PFILE_OBJECT file);
  // As PinIssuedBy, for every file (and none): the thread's whole IRP list.
  std::vector<PIRP> PinIssuedByThread(void* thread);
  void Unpin(PIRP irp);
  // Whether any IRP `thread` issued is still allocated, however far along.
  bool AnyIssuedBy(void* thread);
  // Takes `thread`'s IRPs off its list, as NT does with requests still
  // pending when their thread's exit gives up waiting; returns how many.
  size_t DisassociateFrom(void* thread);
  size_t LiveCount();
  // One line per live IRP (where it is, whether it was cancelled, its cancel
  // routine), for hang reports; empty when the tracker is busy.
  std::string DescribeLive();

 private:
  void ReleaseLocked(PIRP irp, const std::shared_ptr<IrpRecord>& record);
  std::vector<PIRP> Pin(void* thread, PFILE_OBJECT file, bool anyFile);

  std::mutex mutex_;
  std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> live_;
  std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> freed_;
  std::deque<PIRP> quarantine_;  // freed IRP memory, poisoned and held back from reuse
};

// Finishes a thread IRP that completed to the top: copies buffered output back,
// releases the system buffer and MDLs, fills the status block, sets the event,
// and frees the IRP. Defined by the I/O manager.
void FinishThreadIrp(PIRP irp, IrpRecord& record);

// IoCallDriver's path. `powerCall` says PoCallDriver sends the IRP: Windows
// 2000 and XP require PoCallDriver for power IRPs, so IoCallDriver refuses them.
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool powerCall);
// PoCallDriver's deferral: moves `irp` on to `device`'s stack location as
// IoCallDriver does and marks it pending there, as a driver that queues an IRP
// would; DispatchParked calls the device's dispatch routine later.
void ParkIrp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchParked(PIRP irp);

// IoCompleteRequest's check of a power IRP before the walk starts. Defined by
// the power manager.
void CheckPowerIrpCompletion(PIRP irp);

}  // namespace sim

#include "sim/kernel/thread.h"

#include "sim/kernel/iomanager.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/verifier.h"

namespace sim {

namespace {
thread_local KThread* tlsThread = nullptr;
}

const char* FrameKindName(FrameKind kind) {
  switch (kind) {
    case FrameKind::DriverEntry: return "DriverEntry";
    case FrameKind::AddDevice: return "AddDevice";
    case FrameKind::Unload: return "DriverUnload";
    case FrameKind::Dispatch: return "dispatch routine";
    case FrameKind::Completion: return "completion routine";
    case FrameKind::Cancel: return "cancel routine";
    case FrameKind::Dpc: return "DPC routine";
    case FrameKind::WorkItem: return "work item";
    case FrameKind::IoTimer: return "I/O timer routine";
    case FrameKind::Notification: return "notification callback";
    case FrameKind::PowerCompletion: return "power completion function";
    case FrameKind::Other: return "routine";
  }
  return "?";
}

KThread* CurrentThreadOrNull() { return tlsThread; }

KThread* CurrentThread() {
  if (!tlsThread)
    VerifierStop(Rule::KernelStop, nullptr,
                 "a kernel routine was called from a host thread the simulated kernel does not know; "
                 "run it in a sim::Thread or inside a sim::ThreadScope");
  return tlsThread;
}

PDRIVER_OBJECT CurrentDriver() {
  KThread* thread = tlsThread;
  return thread && !thread->frames.empty() ? thread->frames.back().driver : nullptr;
}

ThreadScope::ThreadScope(std::string name) : thread_(new KThread(std::move(name))) {
  if (tlsThread) VerifierStop(Rule::KernelStop, nullptr, "thread '%s' is already a simulated thread", tlsThread->name.c_str());
  CurrentMachine().Sched().Register(thread_);
  tlsThread = thread_;
}

ThreadScope::~ThreadScope() {
  CancelThreadIo();
  tlsThread = nullptr;
  CurrentMachine().Sched().Unregister(thread_);
  delete thread_;
}

struct Thread::State {
  explicit State(std::string name) : record(std::move(name)) {}
  KThread record;
  bool done = false;
  KThread* joiner = nullptr;
};

Thread::Thread(std::string name, std::function<void()> body) : state_(std::make_shared<State>(std::move(name))) {
  Scheduler& scheduler = CurrentMachine().Sched();
  scheduler.Register(&state_->record);
  thread_ = std::thread([state = state_, body = std::move(body), &scheduler] {
    tlsThread = &state->record;
    body();
    CancelThreadIo();
    tlsThread = nullptr;
    std::lock_guard guard(scheduler.Lock());
    state->done = true;
    if (state->joiner) scheduler.Wake(state->joiner);
    scheduler.UnregisterLocked(&state->record);
  });
}

Thread::~Thread() {
  if (thread_.joinable()) Join();
}

void Thread::Join() {
  KThread* self = tlsThread;
  if (self) {
    Scheduler& scheduler = CurrentMachine().Sched();
    std::unique_lock lock(scheduler.Lock());
    state_->joiner = self;
    while (!state_->done) scheduler.Block(lock, self, std::nullopt, "join of thread '" + state_->record.name + "'");
  }
  thread_.join();
}

FrameScope::FrameScope(PDRIVER_OBJECT driver, const void* routine, FrameKind kind, PIRP irp) : thread_(CurrentThread()) {
  Frame frame;
  frame.driver = driver;
  frame.routine = routine;
  frame.kind = kind;
  frame.irp = irp;
  frame.entryIrql = frame.expectedExitIrql = thread_->irql;
  frame.spinLocksAtEntry = thread_->spinLocks.size();
  frame.cancelLockAtEntry = thread_->holdsCancelLock;
  thread_->frames.push_back(frame);
}

void FrameScope::ExpectExitIrql(KIRQL irql) { thread_->frames.back().expectedExitIrql = irql; }

FrameScope::~FrameScope() {
  const Frame& frame = thread_->frames.back();
  // A cancel routine is entered holding the cancel spin lock and must release it.
  bool cancelLockExpected = frame.kind == FrameKind::Cancel ? false : frame.cancelLockAtEntry;
  if (thread_->holdsCancelLock != cancelLockExpected)
    VerifierStop(Rule::CancelSpinLock, frame.irp, "%s returned %s the cancel spin lock",
                 FrameKindName(frame.kind), thread_->holdsCancelLock ? "still holding" : "after releasing more than");
  if (thread_->spinLocks.size() > frame.spinLocksAtEntry)
    VerifierStop(Rule::SpinLock, frame.irp, "%s returned still holding spin lock %p", FrameKindName(frame.kind),
                 (void*)thread_->spinLocks.back());
  if (thread_->irql != frame.expectedExitIrql)
    VerifierStop(Rule::IrqlDrift, frame.irp, "%s returned at IRQL %d; expected IRQL %d", FrameKindName(frame.kind),
                 thread_->irql, frame.expectedExitIrql);
  thread_->frames.pop_back();
}

}  // namespace sim

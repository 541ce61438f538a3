// IRQL and spin locks. IRQL is per simulated thread; a spin lock spins on the
// host with the holder recorded, so the verifier can tell who holds what.
#include <algorithm>
#include <map>
#include <mutex>
#include <cstdio>
#include <string>
#include <thread>

#include "sim/kernel/active.h"
#include "sim/kernel/lockorder.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/verifier.h"

namespace sim {

const char kCancelSpinLockIdentity = 0;

void LockOrder::Acquiring(const std::vector<PKSPIN_LOCK>& held, bool holdsCancelLock, const void* lock) {
  std::lock_guard guard(mutex_);
  std::vector<const void*> holders(held.begin(), held.end());
  if (holdsCancelLock) holders.push_back(&kCancelSpinLockIdentity);
  for (const void* holder : holders) {
    if (holder == lock) continue;
    std::set<const void*> seen;
    if (Reaches(lock, holder, seen)) {
      auto name = [](const void* l) {
        char text[48];
        if (l == &kCancelSpinLockIdentity) return std::string("the cancel spin lock");
        std::snprintf(text, sizeof text, "spin lock %p", l);
        return std::string(text);
      };
      VerifierStop(Rule::LockOrder, nullptr, "%s acquired while holding %s; elsewhere they were taken in the opposite order",
                   name(lock).c_str(), name(holder).c_str());
    }
    after_[holder].insert(lock);
  }
}

bool LockOrder::Reaches(const void* from, const void* to, std::set<const void*>& seen) const {
  if (from == to) return true;
  if (!seen.insert(from).second) return false;
  auto it = after_.find(from);
  if (it == after_.end()) return false;
  for (const void* next : it->second)
    if (Reaches(next, to, seen)) return true;
  return false;
}

void LockOrder::ForgetRange(uintptr_t begin, uintptr_t end) {
  std::lock_guard guard(mutex_);
  auto inRange = [&](const void* p) { return (uintptr_t)p >= begin && (uintptr_t)p < end; };
  for (auto it = after_.begin(); it != after_.end();) {
    if (inRange(it->first)) {
      it = after_.erase(it);
      continue;
    }
    std::erase_if(it->second, inRange);
    ++it;
  }
}

namespace {

// Held spin locks and their holders. The lock word itself is also written
// (nonzero while held) as NT does, but the registry decides ownership, so that
// an uninitialised lock word is told apart from a held one.
std::mutex heldLock;
std::map<PKSPIN_LOCK, KThread*> held;

void SpinAcquire(PKSPIN_LOCK lock, KThread* thread, const char* routine) {
  for (;;) {
    {
      std::lock_guard guard(heldLock);
      auto it = held.find(lock);
      if (it == held.end()) {
        if (*lock != 0)
          VerifierStop(Rule::SpinLock, nullptr, "%s of %p, which is not an initialised spin lock", routine, (void*)lock);
        held.emplace(lock, thread);
        *lock = (ULONG_PTR)thread | 1;
        break;
      }
    }
    std::this_thread::yield();
  }
  thread->spinLocks.push_back(lock);
  MarkActive(lock, ActiveKind::SpinLock);
}

void CheckAcquire(PKSPIN_LOCK lock, KThread* thread, const char* routine) {
  if (std::find(thread->spinLocks.begin(), thread->spinLocks.end(), lock) != thread->spinLocks.end())
    VerifierStop(Rule::SpinLock, nullptr, "%s of spin lock %p, which this thread already holds", routine, (void*)lock);
  CurrentMachine().Locks().Acquiring(thread->spinLocks, thread->holdsCancelLock, lock);
}

void SpinRelease(PKSPIN_LOCK lock, KThread* thread, const char* routine) {
  std::lock_guard guard(heldLock);
  auto it = held.find(lock);
  if (it == held.end())
    VerifierStop(Rule::SpinLock, nullptr, "%s of spin lock %p, which is not held", routine, (void*)lock);
  if (it->second != thread)
    VerifierStop(Rule::SpinLock, nullptr, "%s of spin lock %p, which thread '%s' holds", routine, (void*)lock,
                 it->second->name.c_str());
  held.erase(it);
  *lock = 0;
  thread->spinLocks.erase(std::find(thread->spinLocks.begin(), thread->spinLocks.end(), lock));
  MarkInactive(lock, ActiveKind::SpinLock);
}

}  // namespace
}  // namespace sim

using namespace sim;

extern "C" KIRQL NTAPI KeGetCurrentIrql(void) { return CurrentThread()->irql; }

extern "C" KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  KThread* thread = CurrentThread();
  if (NewIrql < thread->irql)
    VerifierStop(Rule::RaiseLower, nullptr, "KfRaiseIrql to %d from the higher IRQL %d", NewIrql, thread->irql);
  KIRQL old = thread->irql;
  thread->irql = NewIrql;
  return old;
}

extern "C" void FASTCALL KfLowerIrql(KIRQL NewIrql) {
  KThread* thread = CurrentThread();
  if (NewIrql > thread->irql)
    VerifierStop(Rule::RaiseLower, nullptr, "KfLowerIrql to %d from the lower IRQL %d", NewIrql, thread->irql);
  thread->irql = NewIrql;
}

extern "C" KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

extern "C" void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  MaybeYield();
  KThread* thread = CurrentThread();
  if (thread->irql > DISPATCH_LEVEL)
    VerifierStop(Rule::SpinLock, nullptr, "KfAcquireSpinLock of %p at IRQL %d", (void*)SpinLock, thread->irql);
  CheckAcquire(SpinLock, thread, "KfAcquireSpinLock");
  KIRQL old = thread->irql;
  thread->irql = DISPATCH_LEVEL;
  SpinAcquire(SpinLock, thread, "KfAcquireSpinLock");
  return old;
}

extern "C" void FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  KThread* thread = CurrentThread();
  SpinRelease(SpinLock, thread, "KfReleaseSpinLock");
  if (NewIrql > thread->irql)
    VerifierStop(Rule::RaiseLower, nullptr, "KfReleaseSpinLock to IRQL %d from the lower IRQL %d", NewIrql, thread->irql);
  thread->irql = NewIrql;
  MaybeYield();
}

extern "C" void FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  KThread* thread = CurrentThread();
  if (thread->irql != DISPATCH_LEVEL)
    VerifierStop(Rule::SpinLock, nullptr, "KeAcquireSpinLockAtDpcLevel of %p at IRQL %d; it needs DISPATCH_LEVEL",
                 (void*)SpinLock, thread->irql);
  CheckAcquire(SpinLock, thread, "KeAcquireSpinLockAtDpcLevel");
  SpinAcquire(SpinLock, thread, "KeAcquireSpinLockAtDpcLevel");
}

extern "C" void FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  KThread* thread = CurrentThread();
  if (thread->irql != DISPATCH_LEVEL)
    VerifierStop(Rule::SpinLock, nullptr, "KeReleaseSpinLockFromDpcLevel of %p at IRQL %d; it needs DISPATCH_LEVEL",
                 (void*)SpinLock, thread->irql);
  SpinRelease(SpinLock, thread, "KeReleaseSpinLockFromDpcLevel");
}

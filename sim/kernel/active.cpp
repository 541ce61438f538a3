#include "sim/kernel/active.h"

#include <map>
#include <mutex>

#include "sim/kernel/verifier.h"

namespace sim {

namespace {
std::mutex activeLock;
std::multimap<uintptr_t, ActiveKind> active;
}  // namespace

const char* ActiveKindName(ActiveKind kind) {
  switch (kind) {
    case ActiveKind::Timer: return "a set timer";
    case ActiveKind::Dpc: return "a queued DPC";
    case ActiveKind::WaitedObject: return "an object a thread is waiting on";
    case ActiveKind::SpinLock: return "a held spin lock";
    case ActiveKind::WorkItem: return "a queued work item";
  }
  return "?";
}

void MarkActive(const void* object, ActiveKind kind) {
  std::lock_guard guard(activeLock);
  active.emplace((uintptr_t)object, kind);
}

void MarkInactive(const void* object, ActiveKind kind) {
  std::lock_guard guard(activeLock);
  auto [first, last] = active.equal_range((uintptr_t)object);
  for (auto it = first; it != last; ++it) {
    if (it->second == kind) {
      active.erase(it);
      return;
    }
  }
}

void CheckFreedRange(uintptr_t begin, uintptr_t end) {
  uintptr_t found = 0;
  ActiveKind kind{};
  {
    std::lock_guard guard(activeLock);
    auto it = active.lower_bound(begin);
    if (it == active.end() || it->first >= end) return;
    found = it->first;
    kind = it->second;
  }
  VerifierStop(Rule::ActiveObjectFreed, nullptr, "pool %p..%p freed while it still holds %s at %p", (void*)begin,
               (void*)end, ActiveKindName(kind), (void*)found);
}

}  // namespace sim

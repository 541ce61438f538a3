// The order in which spin locks are taken: an edge A -> B is recorded whenever
// B is acquired while A is held; an acquisition that closes a cycle stops the
// machine (LockOrder), since two threads could then deadlock.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "sim/ddk/ntddk.h"

namespace sim {

class LockOrder {
 public:
  // `held` are the locks the thread holds; `lock` is being acquired.
  void Acquiring(const std::vector<PKSPIN_LOCK>& held, bool holdsCancelLock, const void* lock);
  // Forgets locks whose storage was freed, so reused memory starts afresh.
  void ForgetRange(uintptr_t begin, uintptr_t end);

 private:
  bool Reaches(const void* from, const void* to, std::set<const void*>& seen) const;
  std::mutex mutex_;
  std::map<const void*, std::set<const void*>> after_;  // lock -> locks taken while it was held
};

// The identity of the I/O manager's cancel spin lock in the order graph.
extern const char kCancelSpinLockIdentity;

}  // namespace sim

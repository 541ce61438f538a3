// Pool memory: every allocation is recorded with its tag, size, pool type,
// owning driver and allocating routine, so leaks are reported by tag at unload.
// Fault injection fails chosen allocations, to drive every failure path.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "sim/ddk/ntddk.h"

namespace sim {

// Which allocations fail. Allocations by the kernel itself (outside any driver
// routine) never fail; IoAllocateIrp, IoAllocateMdl, IoAllocateWorkItem and the
// IoBuild* routines count as allocations, as they can fail on NT.
// With `driver` set, only that driver's allocations are counted, recorded as
// sites and failed.
struct FaultPlan {
  uint64_t failNth = 0;                 // 1-based count of driver allocations; 0: off
  ULONG failTag = 0;                    // every allocation with this tag; 0: off
  double failProbability = 0;           // at random, with `seed`
  uint32_t seed = 0;                    // 0: a fresh one; either way it is printed
  const void* failSite = nullptr;       // the first allocation from this call site
  std::string driver;                   // restrict to one driver ("" = any)
  // When set, receives Sites() as the pool shuts down: a systematic run's
  // scenario owns its machine, so the harness reads the sites from here. A
  // plan with a log starts the list of sites afresh (a scenario that arms its
  // faults after a setup learns only the sites its own phase reaches).
  std::shared_ptr<std::vector<const void*>> siteLog;
};

struct PoolBlock {
  SIZE_T size = 0;
  ULONG tag = 0;
  POOL_TYPE type = NonPagedPool;
  PDRIVER_OBJECT driver = nullptr;
  const void* site = nullptr;  // return address of the allocation call
};

class PoolManager {
 public:
  explicit PoolManager(FaultPlan plan);
  ~PoolManager();

  PVOID Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const void* site);
  void Free(PVOID p, const ULONG* expectedTag);
  // True when the next allocation-like request from `site` should fail.
  bool ShouldFail(ULONG tag, const void* site);

  void SetFaultPlan(FaultPlan plan);
  // The seed random failures use (the plan's, or the one chosen for seed 0).
  uint32_t Seed() const;
  // Call sites of driver allocations in order of first use (for systematic runs).
  std::vector<const void*> Sites() const;
  uint64_t DriverAllocations() const;
  // Blocks still allocated by `driver` (all drivers when nullptr).
  std::vector<std::pair<PVOID, PoolBlock>> Outstanding(PDRIVER_OBJECT driver) const;
  bool Contains(PVOID p) const;
  // The block that holds address `p` (start and size), if `p` lies in pool:
  // lets kernel routines that walk caller-supplied records stay inside them.
  std::optional<std::pair<uintptr_t, SIZE_T>> BlockContaining(const void* p) const;
  // Stops with PoolLeak when `driver` still owns pool.
  void CheckNoLeaks(PDRIVER_OBJECT driver) const;

 private:
  void StartPlan(FaultPlan plan);  // caller holds mutex_ (or is the constructor)
  void RememberFreed(uintptr_t address);
  [[noreturn]] void BadFree(PVOID p, bool recentlyFreed) const;

  mutable std::mutex mutex_;
  std::map<uintptr_t, PoolBlock> blocks_;
  // Recently freed addresses (until reused), to tell a double free from a
  // free of memory that never was pool.
  std::map<uintptr_t, uint64_t> freed_;
  std::deque<std::pair<uintptr_t, uint64_t>> freedOrder_;
  uint64_t frees_ = 0;
  FaultPlan plan_;
  std::minstd_rand random_;
  uint64_t driverAllocations_ = 0;
  bool siteFailed_ = false;
  std::vector<const void*> sites_;
  std::set<const void*> knownSites_;
};

// Renders a pool tag as NT prints it: 'Wdm ' for 0x206d6457.
std::string TagText(ULONG tag);


}  // namespace sim

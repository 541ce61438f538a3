#include "sim/kernel/pool.h"

#include <cstdio>
#include <cstdlib>

#include "sim/kernel/active.h"
#include "sim/kernel/irp.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/verifier.h"

namespace sim {

namespace {
// Fresh pool is not zeroed on NT; fill it so that reads of unset fields show.
constexpr unsigned char kFreshFill = 0xA5;
constexpr unsigned char kFreedFill = 0xDD;
constexpr size_t kFreedRemembered = 4096;
// An x86 system's whole nonpaged pool is at most 256 MB: no single request
// beyond that can succeed, on either pool.
constexpr SIZE_T kLargestAllocation = 256u << 20;

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0 && type != NonPagedPoolNx; }
}  // namespace

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = (char)((tag >> (8 * i)) & 0xFF);
    text += (c >= 32 && c < 127) ? c : '.';
  }
  return text;
}

PoolManager::PoolManager(FaultPlan plan) { StartPlan(std::move(plan)); }

PoolManager::~PoolManager() {
  if (plan_.siteLog) *plan_.siteLog = sites_;
  for (auto& [address, block] : blocks_) std::free((void*)address);
}

void PoolManager::StartPlan(FaultPlan plan) {
  plan_ = std::move(plan);
  driverAllocations_ = 0;
  siteFailed_ = false;
  if (plan_.siteLog) {
    sites_.clear();
    knownSites_.clear();
  }
  if (plan_.failProbability <= 0) return;
  // A run without a chosen seed gets a fresh one; printing it lets any
  // failure it finds be replayed.
  while (plan_.seed == 0) plan_.seed = std::random_device{}();
  random_.seed(plan_.seed);
  std::fprintf(stderr, "[sim] pool fault injection: probability %.4f, seed %u\n", plan_.failProbability, plan_.seed);
}

void PoolManager::SetFaultPlan(FaultPlan plan) {
  std::lock_guard guard(mutex_);
  StartPlan(std::move(plan));
}

uint32_t PoolManager::Seed() const {
  std::lock_guard guard(mutex_);
  return plan_.seed;
}

bool PoolManager::ShouldFail(ULONG tag, const void* site) {
  PDRIVER_OBJECT driver = CurrentDriver();
  if (!driver) return false;  // the kernel's own allocations never fail
  std::lock_guard guard(mutex_);
  if (!plan_.driver.empty() && DriverName(driver) != plan_.driver) return false;
  ++driverAllocations_;
  if (knownSites_.insert(site).second) sites_.push_back(site);
  if (plan_.failNth && driverAllocations_ == plan_.failNth) return true;
  if (plan_.failTag && tag == plan_.failTag) return true;
  if (plan_.failSite && site == plan_.failSite && !siteFailed_) return siteFailed_ = true;
  if (plan_.failProbability > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < plan_.failProbability)
    return true;
  return false;
}

PVOID PoolManager::Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const void* site) {
  KThread* thread = CurrentThread();
  if (IsPaged(type) && thread->irql > APC_LEVEL)
    VerifierStop(Rule::IrqlPool, nullptr, "paged pool (tag '%s', %zu bytes) allocated at IRQL %d", TagText(tag).c_str(),
                 size, thread->irql);
  if (size == 0)
    VerifierStop(Rule::PoolLeak, nullptr, "zero-byte pool allocation (tag '%s') from %s", TagText(tag).c_str(),
                 SymbolName(site).c_str());
  if (ShouldFail(tag, site) || size > kLargestAllocation) return nullptr;
  void* p = std::malloc(size);
  if (!p) return nullptr;
  std::memset(p, kFreshFill, size);
  PoolBlock block{size, tag, type, CurrentDriver(), site};
  std::lock_guard guard(mutex_);
  blocks_[(uintptr_t)p] = block;
  freed_.erase((uintptr_t)p);
  return p;
}

void PoolManager::RememberFreed(uintptr_t address) {
  freed_[address] = ++frees_;
  freedOrder_.emplace_back(address, frees_);
  if (freedOrder_.size() <= kFreedRemembered) return;
  auto [oldest, serial] = freedOrder_.front();
  freedOrder_.pop_front();
  if (auto it = freed_.find(oldest); it != freed_.end() && it->second == serial) freed_.erase(it);
}

void PoolManager::BadFree(PVOID p, bool recentlyFreed) const {
  // An IRP is not pool to the driver: it came from IoAllocateIrp and goes
  // back with IoFreeIrp, which checks that nobody still holds it.
  if (CurrentMachine().Irps().Find((PIRP)p))
    VerifierStop(Rule::FreeIrpInUse, (PIRP)p, "ExFreePool on IRP %p; an IRP is freed with IoFreeIrp", p);
  if (recentlyFreed) VerifierStop(Rule::PoolLeak, nullptr, "free of pool %p, which was already freed", p);
  VerifierStop(Rule::PoolLeak, nullptr, "free of %p, which was never allocated as pool", p);
}

void PoolManager::Free(PVOID p, const ULONG* expectedTag) {
  if (!p) VerifierStop(Rule::PoolLeak, nullptr, "ExFreePool of a NULL pointer");
  PoolBlock block;
  {
    std::unique_lock lock(mutex_);
    auto it = blocks_.find((uintptr_t)p);
    if (it == blocks_.end()) {
      bool recentlyFreed = freed_.count((uintptr_t)p) != 0;
      lock.unlock();
      BadFree(p, recentlyFreed);
    }
    block = it->second;
    if (expectedTag && *expectedTag != block.tag)
      VerifierStop(Rule::PoolLeak, nullptr, "ExFreePoolWithTag of %p with tag '%s'; it was allocated with tag '%s'", p,
                   TagText(*expectedTag).c_str(), TagText(block.tag).c_str());
    blocks_.erase(it);
    RememberFreed((uintptr_t)p);
  }
  KThread* thread = CurrentThread();
  if (IsPaged(block.type) && thread->irql > APC_LEVEL)
    VerifierStop(Rule::IrqlPool, nullptr, "paged pool %p (tag '%s') freed at IRQL %d", p, TagText(block.tag).c_str(),
                 thread->irql);
  CheckFreedRange((uintptr_t)p, (uintptr_t)p + block.size);
  std::memset(p, kFreedFill, block.size);
  std::free(p);
}

std::vector<const void*> PoolManager::Sites() const {
  std::lock_guard guard(mutex_);
  return sites_;
}

uint64_t PoolManager::DriverAllocations() const {
  std::lock_guard guard(mutex_);
  return driverAllocations_;
}

std::vector<std::pair<PVOID, PoolBlock>> PoolManager::Outstanding(PDRIVER_OBJECT driver) const {
  std::lock_guard guard(mutex_);
  std::vector<std::pair<PVOID, PoolBlock>> out;
  for (auto& [address, block] : blocks_)
    if (!driver || block.driver == driver) out.emplace_back((PVOID)address, block);
  return out;
}

bool PoolManager::Contains(PVOID p) const {
  std::lock_guard guard(mutex_);
  return blocks_.count((uintptr_t)p) != 0;
}

std::optional<std::pair<uintptr_t, SIZE_T>> PoolManager::BlockContaining(const void* p) const {
  std::lock_guard guard(mutex_);
  auto it = blocks_.upper_bound((uintptr_t)p);
  if (it == blocks_.begin()) return std::nullopt;
  --it;
  if ((uintptr_t)p >= it->first + it->second.size) return std::nullopt;
  return std::make_pair(it->first, it->second.size);
}

void PoolManager::CheckNoLeaks(PDRIVER_OBJECT driver) const {
  auto leaks = Outstanding(driver);
  if (leaks.empty()) return;
  std::string list;
  for (auto& [address, block] : leaks) {
    char line[256];
    std::snprintf(line, sizeof line, "\n      tag '%s', %zu bytes at %p, allocated in %s", TagText(block.tag).c_str(),
                  (size_t)block.size, address, SymbolName(block.site).c_str());
    list += line;
  }
  VerifierStop(Rule::PoolLeak, nullptr, "%s unloads with %zu pool block(s) still allocated:%s", DriverName(driver).c_str(),
               leaks.size(), list.c_str());
}

}  // namespace sim

using sim::CurrentMachine;

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return CurrentMachine().Pool().Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

extern "C" PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  // NT tags untagged allocations 'None'.
  return CurrentMachine().Pool().Allocate(PoolType, NumberOfBytes, 0x656E6F4E, __builtin_return_address(0));
}

extern "C" void NTAPI ExFreePool(PVOID P) { CurrentMachine().Pool().Free(P, nullptr); }

extern "C" void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { CurrentMachine().Pool().Free(P, &Tag); }

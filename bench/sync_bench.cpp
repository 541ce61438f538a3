// Costs of the kernel's synchronisation and pool services as drivers use them.
#include <benchmark/benchmark.h>

#include <atomic>

#include "bench/benchdriver.h"
#include "sim/kernel/thread.h"

// Measures a KeSetEvent/KeWaitForSingleObject ping-pong between two simulated
// threads on synchronization events: one item is a full round trip (two
// wake-ups through the dispatcher lock and host condition variables). Virtual time.
static void BM_EventPingPong(benchmark::State& state) {
  sim::Machine machine;
  KEVENT ping, pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  std::atomic<bool> stop{false};
  sim::Thread partner("pong", [&] {
    for (;;) {
      KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
      if (stop) return;
      KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
    }
  });

  for (auto _ : state) {
    KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
  }
  state.SetItemsProcessed(state.iterations());

  stop = true;
  KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
  partner.Join();
}
BENCHMARK(BM_EventPingPong)->UseRealTime();

// Measures an uncontended KeAcquireSpinLock/KeReleaseSpinLock pair by a driver,
// with the IRQL tracking and lock-order bookkeeping the verifier does.
static void BM_SpinLockAcquireRelease(benchmark::State& state) {
  sim::Machine machine;
  PDRIVER_OBJECT driver = bench::LoadDriver(machine, u"BenchLocks");
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  bench::AsDriver(driver, [&] {
    for (auto _ : state) {
      KIRQL oldIrql;
      KeAcquireSpinLock(&lock, &oldIrql);
      KeReleaseSpinLock(&lock, oldIrql);
    }
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpinLockAcquireRelease);

// Measures ExAllocatePoolWithTag/ExFreePoolWithTag of a 256-byte nonpaged block
// by a driver, including the per-tag accounting the leak check relies on.
static void BM_PoolAllocateFree(benchmark::State& state) {
  constexpr ULONG kTag = 0x68636E42;  // "Bnch" in a pool dump
  sim::Machine machine;
  PDRIVER_OBJECT driver = bench::LoadDriver(machine, u"BenchPool");
  bench::AsDriver(driver, [&] {
    for (auto _ : state) {
      PVOID block = ExAllocatePoolWithTag(NonPagedPool, 256, kTag);
      benchmark::DoNotOptimize(block);
      ExFreePoolWithTag(block, kTag);
    }
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PoolAllocateFree);

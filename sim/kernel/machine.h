// A whole simulated machine: the kernel's subsystems, its threads and clock,
// and the drivers loaded on it. One machine exists at a time per process; it is
// created and destroyed per test, so tests never share state.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/ddk/ntddk.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/scheduler.h"

namespace sim {

class DpcEngine;
class WorkQueues;
class IoTimers;
class IrpTracker;
class ObjectManager;
class LockOrder;
class Registry;
class PnpManager;
class Notifications;
class PowerManager;

struct MachineOptions {
  // Virtual time (tests): the clock jumps to the next deadline once every
  // simulated thread is blocked. Real time: the simulator with a person at it.
  bool virtualTime = true;
  // Virtual time beyond which the machine is taken to hang (a periodic timer
  // keeps the clock moving while every other thread waits forever).
  Tick virtualTimeLimit = 3600 * kTicksPerSecond;
  int processors = 2;        // threads that run DPCs
  int criticalWorkers = 2;   // threads of CriticalWorkQueue
  int delayedWorkers = 2;    // threads of DelayedWorkQueue
  uint32_t delayFuzzSeed = 0;  // nonzero: random yields at kernel calls
  FaultPlan faults;            // pool allocations to fail
  std::string applicationThreadName = "application";
};

class Machine {
 public:
  explicit Machine(MachineOptions options = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  const MachineOptions& Options() const { return options_; }
  Scheduler& Sched() { return *scheduler_; }
  PoolManager& Pool() { return *pool_; }
  DpcEngine& Dpcs() { return *dpcs_; }
  WorkQueues& Workers() { return *workers_; }
  IoTimers& Timers() { return *ioTimers_; }
  IrpTracker& Irps() { return *irps_; }
  ObjectManager& Objects() { return *objects_; }
  LockOrder& Locks() { return *locks_; }
  Registry& Reg() { return *registry_; }
  PnpManager& Pnp() { return *pnp_; }
  Notifications& Notify() { return *notifications_; }
  PowerManager& Power() { return *power_; }

  // Loads a driver: creates its driver object (\Driver\<name>) and calls its
  // DriverEntry with the service key path. Returns nullptr if DriverEntry fails.
  PDRIVER_OBJECT LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE entry);
  // Calls DriverUnload, then checks that the driver left nothing behind: no
  // device objects, pool, timers, DPCs, work items or notifications.
  void UnloadDriver(PDRIVER_OBJECT driver);
  const std::vector<PDRIVER_OBJECT>& Drivers() const { return drivers_; }

  // The root bus driver's object (\Driver\PnpManager), made by the PnP
  // manager with the first root device node (sim/kernel/pnptree.cpp).
  PDRIVER_OBJECT& RootBusDriver() { return rootBusDriver_; }

  // Lets the clock run for `ticks` while the calling thread waits.
  void Sleep(Tick ticks);

  // What the application side (sim/win32) keeps per machine, such as its
  // handle table. It lives as long as the machine and is released before the
  // kernel's objects, without calling into the kernel.
  std::shared_ptr<void>& ApplicationState() { return applicationState_; }

 private:
  void Shutdown();

  MachineOptions options_;
  std::unique_ptr<Scheduler> scheduler_;
  std::unique_ptr<ThreadScope> applicationThread_;
  std::unique_ptr<PoolManager> pool_;
  std::unique_ptr<LockOrder> locks_;
  std::unique_ptr<IrpTracker> irps_;
  std::unique_ptr<ObjectManager> objects_;
  std::unique_ptr<DpcEngine> dpcs_;
  std::unique_ptr<WorkQueues> workers_;
  std::unique_ptr<IoTimers> ioTimers_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<Notifications> notifications_;
  std::unique_ptr<PowerManager> power_;
  std::unique_ptr<PnpManager> pnp_;
  std::vector<PDRIVER_OBJECT> drivers_;
  PDRIVER_OBJECT rootBusDriver_ = nullptr;
  std::shared_ptr<void> applicationState_;
};

// The machine of this process; stops with a clear message when there is none.
Machine& CurrentMachine();
Machine* CurrentMachineOrNull();

}  // namespace sim

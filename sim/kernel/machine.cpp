#include "sim/kernel/machine.h"

#include <atomic>
#include <cstdio>

#include "sim/kernel/dpc.h"
#include "sim/kernel/irp.h"
#include "sim/kernel/lockorder.h"
#include "sim/kernel/object.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/power.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/trace.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"
#include "sim/kernel/workitem.h"

namespace sim {

namespace {
std::atomic<Machine*> currentMachine{nullptr};
}

Machine& CurrentMachine() {
  Machine* machine = currentMachine.load();
  if (!machine)
    VerifierStop(Rule::KernelStop, nullptr, "a kernel routine was called while no simulated machine exists");
  return *machine;
}

Machine* CurrentMachineOrNull() { return currentMachine.load(); }

Machine::Machine(MachineOptions options) : options_(std::move(options)) {
  Machine* expected = nullptr;
  if (!currentMachine.compare_exchange_strong(expected, this))
    VerifierStop(Rule::KernelStop, nullptr, "a second simulated machine was created while one exists");
  scheduler_ = std::make_unique<Scheduler>(options_.virtualTime, options_.virtualTimeLimit);
  pool_ = std::make_unique<PoolManager>(options_.faults);
  locks_ = std::make_unique<LockOrder>();
  irps_ = std::make_unique<IrpTracker>();
  objects_ = std::make_unique<ObjectManager>();
  applicationThread_ = std::make_unique<ThreadScope>(options_.applicationThreadName);
  dpcs_ = std::make_unique<DpcEngine>(options_.processors);
  workers_ = std::make_unique<WorkQueues>(options_.criticalWorkers, options_.delayedWorkers);
  ioTimers_ = std::make_unique<IoTimers>();
  registry_ = std::make_unique<Registry>();
  notifications_ = std::make_unique<Notifications>();
  power_ = std::make_unique<PowerManager>();
  pnp_ = std::make_unique<PnpManager>();
}

Machine::~Machine() { Shutdown(); }

void Machine::Shutdown() {
  // Closes that worker threads still have to send reach their drivers before
  // any device goes. Then device nodes (their drivers unload with their last
  // device), then drivers loaded directly.
  objects_->WaitForDeferredCloses();
  pnp_->Shutdown();
  while (!drivers_.empty()) UnloadDriver(drivers_.back());
  notifications_->Stop();
  SetTraceSink({});
  ioTimers_->Shutdown();
  workers_->Stop();
  dpcs_->Stop();
  applicationThread_.reset();
  scheduler_->Shutdown();
  applicationState_.reset();
  pnp_.reset();
  power_.reset();
  notifications_.reset();
  registry_.reset();
  workers_.reset();
  dpcs_.reset();
  ioTimers_.reset();
  objects_.reset();
  irps_.reset();
  locks_.reset();
  pool_.reset();
  scheduler_.reset();
  currentMachine.store(nullptr);
}

PDRIVER_OBJECT Machine::LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE entry) {
  RequireIrqlPassive("the driver loader");
  PDRIVER_OBJECT driver = objects_->CreateDriver(name);
  driver->DriverInit = entry;
  std::u16string service = name;
  driver->DriverExtension->ServiceKeyName = View(service);
  std::u16string registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + name;
  UNICODE_STRING path = View(registryPath);
  NTSTATUS status;
  {
    FrameScope frame(driver, (const void*)entry, FrameKind::DriverEntry);
    status = entry(driver, &path);
  }
  driver->DriverExtension->ServiceKeyName = UNICODE_STRING{};
  // The I/O manager finishes the initialisation of devices made in DriverEntry.
  for (PDEVICE_OBJECT device : objects_->DevicesOf(driver)) device->Flags &= ~DO_DEVICE_INITIALIZING;
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "[sim] DriverEntry of %s failed with 0x%08X\n", Narrow(name).c_str(), (unsigned)status);
    pool_->CheckNoLeaks(driver);
    objects_->DeleteDriver(driver);
    return nullptr;
  }
  drivers_.push_back(driver);
  return driver;
}

void Machine::UnloadDriver(PDRIVER_OBJECT driver) {
  if (driver->DriverUnload) {
    FrameScope frame(driver, (const void*)driver->DriverUnload, FrameKind::Unload);
    driver->DriverUnload(driver);
  }
  std::string residue;
  for (PDEVICE_OBJECT device : objects_->DevicesOf(driver)) {
    char line[96];
    std::snprintf(line, sizeof line, "\n      device object %p still exists", (void*)device);
    residue += line;
  }
  residue += dpcs_->Residue(driver);
  residue += workers_->Residue(driver);
  residue += notifications_->Residue(driver);
  residue += registry_->Residue(driver);
  if (!residue.empty())
    VerifierStop(Rule::UnloadResidue, nullptr, "%s unloads leaving:%s", DriverName(driver).c_str(), residue.c_str());
  pool_->CheckNoLeaks(driver);
  std::erase(drivers_, driver);
  objects_->DeleteDriver(driver);
}

void Machine::Sleep(Tick ticks) {
  LARGE_INTEGER interval;
  interval.QuadPart = -ticks;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace sim

// Fault injection in the pool: exactly the allocations a plan names fail, the
// plan can be replayed, and the kernel's own allocations never fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/kernel/machine.h"
#include "sim/kernel/verifier.h"
#include "tests/sim/testkit.h"
#include "tests/sim/verifier_kit.h"

using verifierkit::kTag;
using verifierkit::Request;
using verifierkit::TestDevice;

namespace {

constexpr ULONG kBadTag = 0x20646142;  // 'Bad '

enum class Step { Pool, Irp, WorkItem, KernelPool };

// Makes each allocation of `steps` (as `port`'s driver, except KernelPool,
// which the kernel makes outside any driver routine) and frees it again.
// Returns, per step, whether the allocation failed.
std::vector<bool> Allocate(TestDevice& port, const std::vector<Step>& steps) {
  std::vector<bool> failed;
  for (Step step : steps) {
    if (step == Step::KernelPool) {
      PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
      failed.push_back(!p);
      if (p) ExFreePool(p);
      continue;
    }
    testkit::AsDriver(port.driver, [&] {
      if (step == Step::Pool) {
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
        failed.push_back(!p);
        if (p) ExFreePool(p);
      } else if (step == Step::Irp) {
        PIRP irp = IoAllocateIrp(1, FALSE);
        failed.push_back(!irp);
        if (irp) IoFreeIrp(irp);
      } else {
        PIO_WORKITEM item = IoAllocateWorkItem(port.device);
        failed.push_back(!item);
        if (item) IoFreeWorkItem(item);
      }
    });
  }
  return failed;
}

// Allocates `count` blocks with `tag` as `driver`; true where one failed.
std::vector<bool> AllocateTagged(PDRIVER_OBJECT driver, const std::vector<ULONG>& tags) {
  std::vector<bool> failed;
  testkit::AsDriver(driver, [&] {
    for (ULONG tag : tags) {
      PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
      failed.push_back(!p);
      if (p) ExFreePool(p);
    }
  });
  return failed;
}

struct RandomRun {
  std::vector<bool> failed;
  uint32_t seed = 0;
  std::string log;
};

// 200 allocations of a driver on a machine that fails a quarter at random.
RandomRun RunRandom(uint32_t seed) {
  sim::MachineOptions options;
  options.faults.failProbability = 0.25;
  options.faults.seed = seed;
  RandomRun run;
  testing::internal::CaptureStderr();
  sim::Machine machine(options);
  run.log = testing::internal::GetCapturedStderr();
  run.seed = machine.Pool().Seed();
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"Port");
  run.failed = AllocateTagged(driver, std::vector<ULONG>(200, kTag));
  return run;
}

[[gnu::noinline]] PVOID AllocateHeader() { return ExAllocatePoolWithTag(NonPagedPool, 16, kTag); }
[[gnu::noinline]] PVOID AllocateBody() { return ExAllocatePoolWithTag(NonPagedPool, 64, kTag); }

}  // namespace

TEST(PoolFaults, TheNthDriverAllocationFailsWhateverItsKind) {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  // Kernel allocations in between are neither failed nor counted.
  std::vector<Step> steps = {Step::Pool, Step::KernelPool, Step::Irp, Step::Pool, Step::WorkItem, Step::Pool};
  std::vector<int> driverSteps = {0, 2, 3, 4, 5};
  for (int n = 1; n <= 5; ++n) {
    sim::FaultPlan plan;
    plan.failNth = n;
    machine.Pool().SetFaultPlan(plan);  // counting starts again
    std::vector<bool> expected(steps.size(), false);
    expected[driverSteps[n - 1]] = true;
    EXPECT_EQ(Allocate(port, steps), expected) << "failNth = " << n;
  }
  machine.Pool().SetFaultPlan({});
  EXPECT_EQ(Allocate(port, steps), std::vector<bool>(steps.size(), false));
}

TEST(PoolFaults, TheNthAllocationCountsFromBootWithMachineOptions) {
  sim::MachineOptions options;
  options.faults.failNth = 2;
  sim::Machine machine(options);
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"Port");
  EXPECT_EQ(AllocateTagged(driver, {kTag, kTag, kTag, kTag}), (std::vector<bool>{false, true, false, false}));
  EXPECT_EQ(machine.Pool().DriverAllocations(), 4u);
}

TEST(PoolFaults, EveryAllocationWithTheTagFailsAndNoOther) {
  sim::MachineOptions options;
  options.faults.failTag = kBadTag;
  sim::Machine machine(options);
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"Port");
  EXPECT_EQ(AllocateTagged(driver, {kTag, kBadTag, kTag, kBadTag, kBadTag}),
            (std::vector<bool>{false, true, false, true, true}));
}

TEST(PoolFaults, RandomFailuresArePrintedWithTheirSeedAndReplay) {
  RandomRun first = RunRandom(1234);
  EXPECT_EQ(first.seed, 1234u);
  EXPECT_NE(first.log.find("probability 0.2500, seed 1234"), std::string::npos) << first.log;
  long failures = std::count(first.failed.begin(), first.failed.end(), true);
  EXPECT_GT(failures, 20);
  EXPECT_LT(failures, 90);

  EXPECT_EQ(RunRandom(1234).failed, first.failed) << "the same seed fails the same allocations";
  EXPECT_NE(RunRandom(4321).failed, first.failed);

  // Without a seed one is chosen, and printed so that the run can be replayed.
  RandomRun unseeded = RunRandom(0);
  ASSERT_NE(unseeded.seed, 0u);
  EXPECT_NE(unseeded.log.find("seed " + std::to_string(unseeded.seed)), std::string::npos) << unseeded.log;
  EXPECT_EQ(RunRandom(unseeded.seed).failed, unseeded.failed);
}

TEST(PoolFaults, APlanRestrictedToOneDriverLeavesTheOthersAlone) {
  sim::Machine machine;
  PDRIVER_OBJECT port = testkit::LoadDriver(machine, u"Port");
  PDRIVER_OBJECT pipe = testkit::LoadDriver(machine, u"Pipe");
  sim::FaultPlan plan;
  plan.failTag = kTag;
  plan.driver = "Pipe";
  machine.Pool().SetFaultPlan(plan);
  EXPECT_EQ(AllocateTagged(port, {kTag, kTag}), (std::vector<bool>{false, false}));
  EXPECT_EQ(AllocateTagged(pipe, {kTag, kTag}), (std::vector<bool>{true, true}));

  // The n-th counts only the allocations of the driver the plan is for.
  plan.failTag = 0;
  plan.failNth = 2;
  machine.Pool().SetFaultPlan(plan);
  EXPECT_EQ(AllocateTagged(port, {kTag}), std::vector<bool>{false});
  EXPECT_EQ(AllocateTagged(pipe, {kTag}), std::vector<bool>{false});
  EXPECT_EQ(AllocateTagged(port, {kTag, kTag}), (std::vector<bool>{false, false}));
  EXPECT_EQ(AllocateTagged(pipe, {kTag, kTag}), (std::vector<bool>{true, false}));
}

TEST(PoolFaults, TheFirstAllocationFromASiteFailsOnce) {
  sim::Machine machine;
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"Port");
  testkit::AsDriver(driver, [] {
    ExFreePool(AllocateHeader());
    ExFreePool(AllocateBody());
    ExFreePool(AllocateHeader());
  });
  std::vector<const void*> sites = machine.Pool().Sites();
  ASSERT_EQ(sites.size(), 2u) << "distinct sites in order of first use";
  EXPECT_EQ(sim::SymbolName(sites[0]), "AllocateHeader");
  EXPECT_EQ(sim::SymbolName(sites[1]), "AllocateBody");

  sim::FaultPlan plan;
  plan.failSite = sites[1];
  machine.Pool().SetFaultPlan(plan);
  testkit::AsDriver(driver, [] {
    PVOID header = AllocateHeader();
    EXPECT_NE(header, nullptr);
    EXPECT_EQ(AllocateBody(), nullptr);
    PVOID body = AllocateBody();
    EXPECT_NE(body, nullptr);
    ExFreePool(header);
    ExFreePool(body);
  });
}

TEST(PoolFaults, TheKernelsOwnAllocationsNeverFail) {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  testkit::Behaviour targetBehaviour;
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL})
    targetBehaviour.dispatch[major] = [](PDEVICE_OBJECT, PIRP irp) { return testkit::Complete(irp, STATUS_SUCCESS); };
  PDEVICE_OBJECT target = testkit::CreateDevice(port.driver, targetBehaviour, u"\\Device\\Target");
  port.OnIoctl() = targetBehaviour.dispatch[IRP_MJ_DEVICE_CONTROL];

  sim::FaultPlan plan;
  plan.failNth = 1;
  plan.failProbability = 1.0;
  testing::internal::CaptureStderr();
  machine.Pool().SetFaultPlan(plan);
  testing::internal::GetCapturedStderr();

  // Every allocation a driver makes fails...
  EXPECT_EQ(Allocate(port, {Step::Pool, Step::Irp, Step::WorkItem}), (std::vector<bool>{true, true, true}));
  // ...but what the kernel allocates, for itself or on a driver's behalf, does not.
  EXPECT_EQ(Allocate(port, {Step::KernelPool}), std::vector<bool>{false});
  EXPECT_EQ(Request().SendAndWait(port.device), STATUS_SUCCESS);
  testkit::AsDriver(port.driver, [] {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\Target");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &device), STATUS_SUCCESS);
    ObDereferenceObject(file);
  });
  testkit::Delete(target);
}

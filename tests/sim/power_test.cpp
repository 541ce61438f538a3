// The power manager as Windows 2000 and XP drivers see it: the IRQL power IRPs
// arrive at, PoRequestPowerIrp and PoSetPowerState, one power IRP of a kind
// at a time per device, and system sleep and wake across device stacks as a
// power policy owner sees them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "sim/kernel/irp.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/power.h"
#include "sim/kernel/powerirp.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/ustring.h"
#include "tests/sim/testkit.h"

using Lines = std::vector<std::string>;

namespace {

// What the test drivers saw, in order, whichever thread they ran on.
class Journal {
 public:
  void Add(std::string line) {
    std::lock_guard guard(mutex_);
    lines_.push_back(std::move(line));
  }
  Lines Take() {
    std::lock_guard guard(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  std::mutex mutex_;
  Lines lines_;
};

// "S3 QUERY_POWER" for the request at the IRP's current location.
std::string Describe(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  return sim::PowerStateName(stack->Parameters.Power.Type, stack->Parameters.Power.State) + " " +
         sim::PowerMinorName(stack->MinorFunction);
}

// A bus driver's PDO: succeeds query and set requests after
// PoStartNextPowerIrp and remembers the IRQL and thread the last one came on.
struct TestPdo {
  TestPdo(PDRIVER_OBJECT bus, const std::u16string& name, bool pagable) {
    device = testkit::CreateDevice(bus, behaviour, name);
    if (pagable) device->Flags |= DO_POWER_PAGABLE;
    behaviour.dispatch[IRP_MJ_POWER] = [this](PDEVICE_OBJECT, PIRP irp) {
      irql = KeGetCurrentIrql();
      onApplicationThread = sim::CurrentThread()->name == "application";
      PoStartNextPowerIrp(irp);
      return testkit::Complete(irp, STATUS_SUCCESS);
    };
  }
  ~TestPdo() { testkit::Delete(device); }

  testkit::Behaviour behaviour;
  PDEVICE_OBJECT device;
  std::atomic<int> irql{-1};
  std::atomic<bool> onApplicationThread{false};
};

// A function driver that owns its device's power policy, as the Windows 2000
// and XP documentation describes one: a system query passes down; a system
// set passes down and on its way back asks for the matching device state
// (S0: D0, sleeping: D3) with PoRequestPowerIrp, completing the system IRP
// from that request's completion function; a device set to D3 is reported and
// passed down, one to D0 is reported by a completion routine once the bus
// powered the device up.
struct PolicyOwner {
  PolicyOwner(PDRIVER_OBJECT driver, TestPdo& bus, Journal& journal, std::string name)
      : pdo(bus.device), journal(journal), name(std::move(name)) {
    device = testkit::CreateDevice(driver, behaviour);
    device->Flags |= bus.device->Flags & DO_POWER_PAGABLE;
    testkit::Attach(device, pdo);
    behaviour.dispatch[IRP_MJ_POWER] = [this](PDEVICE_OBJECT, PIRP irp) { return Power(irp); };
  }
  ~PolicyOwner() { testkit::Delete(device); }

  NTSTATUS Power(PIRP irp);
  static NTSTATUS NTAPI SystemSetPassed(PDEVICE_OBJECT, PIRP irp, PVOID context);
  static void NTAPI DeviceSetDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status);
  static NTSTATUS NTAPI PoweredUp(PDEVICE_OBJECT device, PIRP irp, PVOID context);

  testkit::Behaviour behaviour;
  PDEVICE_OBJECT device;
  PDEVICE_OBJECT pdo;
  Journal& journal;
  std::string name;
  NTSTATUS queryAnswer = STATUS_SUCCESS;  // a failure vetoes system queries
  std::atomic<int> irql{-1};
  std::atomic<NTSTATUS> passedOn{0};      // what PoCallDriver returned last
  std::vector<std::pair<POWER_ACTION, ULONG>> systemIrps;  // ShutdownType, SystemContext
};

NTSTATUS PolicyOwner::Power(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  irql = KeGetCurrentIrql();
  journal.Add(name + ": " + Describe(irp));
  bool system = stack->Parameters.Power.Type == SystemPowerState;
  if (system) systemIrps.emplace_back(stack->Parameters.Power.ShutdownType, stack->Parameters.Power.SystemContext);
  PDEVICE_OBJECT lower = behaviour.lower;
  if (stack->MinorFunction == IRP_MN_QUERY_POWER && system && !NT_SUCCESS(queryAnswer)) {
    PoStartNextPowerIrp(irp);
    return testkit::Complete(irp, queryAnswer);
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER && system) {
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SystemSetPassed, this, TRUE, TRUE, TRUE);
    PoCallDriver(lower, irp);
    return STATUS_PENDING;
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.State.DeviceState == PowerDeviceD0) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, PoweredUp, this, TRUE, TRUE, TRUE);
    return passedOn = PoCallDriver(lower, irp);
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER) PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return passedOn = PoCallDriver(lower, irp);
}

NTSTATUS NTAPI PolicyOwner::SystemSetPassed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* owner = (PolicyOwner*)context;
  POWER_STATE device;
  bool working = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState == PowerSystemWorking;
  device.DeviceState = working ? PowerDeviceD0 : PowerDeviceD3;
  PoRequestPowerIrp(owner->pdo, IRP_MN_SET_POWER, device, DeviceSetDone, irp, nullptr);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void NTAPI PolicyOwner::DeviceSetDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  auto systemIrp = (PIRP)context;
  PoStartNextPowerIrp(systemIrp);
  systemIrp->IoStatus.Status = status->Status;
  IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI PolicyOwner::PoweredUp(PDEVICE_OBJECT device, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  PoSetPowerState(device, DevicePowerState, d0);
  PoStartNextPowerIrp(irp);
  return STATUS_SUCCESS;
}

// One device stack: a PDO of the test bus and its policy owner.
struct Stack {
  Stack(PDRIVER_OBJECT bus, PDRIVER_OBJECT function, Journal& journal, const std::string& name, bool pagable = true)
      : pdo(bus, u"\\Device\\" + std::u16string(name.begin(), name.end()), pagable), owner(function, pdo, journal, name) {}
  TestPdo pdo;
  PolicyOwner owner;
};

// What a PoRequestPowerIrp completion function was given.
struct Request {
  Request() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
  static void NTAPI Done(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK status) {
    auto* request = (Request*)context;
    request->device = device;
    request->minor = minor;
    request->state = state;
    request->status = *status;
    request->irpsLive = sim::CurrentMachine().Irps().LiveCount();
    KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
  }
  NTSTATUS Send(PDEVICE_OBJECT pdo, UCHAR minorFunction, DEVICE_POWER_STATE deviceState) {
    POWER_STATE requested;
    requested.DeviceState = deviceState;
    return PoRequestPowerIrp(pdo, minorFunction, requested, Done, this, nullptr);
  }
  void Wait() { KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr); }

  KEVENT done;
  PDEVICE_OBJECT device = nullptr;
  UCHAR minor = 0xFF;
  POWER_STATE state{};
  IO_STATUS_BLOCK status{STATUS_PENDING, 0};
  size_t irpsLive = 0;
};

}  // namespace

// ---- The IRQL power IRPs arrive at ----

TEST(PowerIrql, PagableStacksGetPassiveLevelOthersDispatchLevel) {
  sim::Machine machine;
  Journal journal;
  PDRIVER_OBJECT bus = testkit::LoadDriver(machine, u"Bus");
  PDRIVER_OBJECT function = testkit::LoadDriver(machine, u"Function");
  Stack pagable(bus, function, journal, "pagable", true);
  Stack locked(bus, function, journal, "locked", false);
  for (Stack* stack : {&pagable, &locked}) {
    Request request;
    ASSERT_EQ(request.Send(stack->pdo.device, IRP_MN_QUERY_POWER, PowerDeviceD2), STATUS_PENDING);
    request.Wait();
    EXPECT_EQ(request.status.Status, STATUS_SUCCESS);
  }
  EXPECT_EQ(pagable.owner.irql, PASSIVE_LEVEL) << "a DO_POWER_PAGABLE device gets power IRPs at PASSIVE_LEVEL";
  EXPECT_EQ(pagable.pdo.irql, PASSIVE_LEVEL);
  EXPECT_EQ(locked.owner.irql, DISPATCH_LEVEL) << "PoCallDriver raises to DISPATCH_LEVEL for a non-pagable device";
  EXPECT_EQ(locked.pdo.irql, DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "PoCallDriver lowers the IRQL again";
}

TEST(PowerIrql, PagableDeviceBelowANonPagableOneGetsPassiveLevelOnAWorker) {
  sim::Machine machine;
  Journal journal;
  PDRIVER_OBJECT bus = testkit::LoadDriver(machine, u"Bus");
  PDRIVER_OBJECT function = testkit::LoadDriver(machine, u"Function");
  Stack stack(bus, function, journal, "mixed", true);
  stack.owner.device->Flags &= ~DO_POWER_PAGABLE;

  Request request;
  ASSERT_EQ(request.Send(stack.pdo.device, IRP_MN_QUERY_POWER, PowerDeviceD2), STATUS_PENDING);
  request.Wait();
  EXPECT_EQ(stack.owner.irql, DISPATCH_LEVEL);
  EXPECT_EQ(stack.owner.passedOn, STATUS_PENDING) << "PoCallDriver from DISPATCH_LEVEL to a pagable device defers it";
  EXPECT_EQ(stack.pdo.irql, PASSIVE_LEVEL);
  EXPECT_FALSE(stack.pdo.onApplicationThread) << "the deferred call runs on a system worker thread";
  EXPECT_EQ(request.status.Status, STATUS_SUCCESS);
}

// ---- PoRequestPowerIrp and PoSetPowerState ----

TEST(PoRequestPowerIrp, CallsTheCompletionFunctionWithTheStatusThenFreesTheIrp) {
  sim::Machine machine;
  PDRIVER_OBJECT bus = testkit::LoadDriver(machine, u"Bus");
  TestPdo pdo(bus, u"\\Device\\Pdo", true);
  NTSTATUS initial = 0;
  POWER_STATE_TYPE type = SystemPowerState;
  DEVICE_POWER_STATE asked = PowerDeviceUnspecified;
  pdo.behaviour.dispatch[IRP_MJ_POWER] = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    initial = irp->IoStatus.Status;
    type = stack->Parameters.Power.Type;
    asked = stack->Parameters.Power.State.DeviceState;
    PoStartNextPowerIrp(irp);
    return testkit::Complete(irp, STATUS_UNSUCCESSFUL);
  };

  Request request;
  EXPECT_EQ(request.Send(pdo.device, IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_PENDING)
      << "STATUS_PENDING even though the IRP completed at once";
  EXPECT_EQ(initial, STATUS_NOT_SUPPORTED) << "power IRPs start as NT initialises them";
  EXPECT_EQ(type, DevicePowerState);
  EXPECT_EQ(asked, PowerDeviceD3);
  EXPECT_EQ(request.status.Status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(request.device, pdo.device);
  EXPECT_EQ(request.minor, IRP_MN_QUERY_POWER);
  EXPECT_EQ(request.state.DeviceState, PowerDeviceD3);
  EXPECT_EQ(request.irpsLive, 1u) << "the completion function runs before the IRP is freed";
  EXPECT_EQ(machine.Irps().LiveCount(), 0u) << "and the IRP is freed after it";
  EXPECT_EQ(machine.Power().Log(), Lines{"D3 QUERY_POWER -> \\Device\\Pdo: STATUS_UNSUCCESSFUL"});
}

TEST(PoRequestPowerIrp, FailsWithoutCallingTheFunctionWhenNoIrpIsSent) {
  sim::MachineOptions options;
  options.faults.failNth = 1;
  options.faults.driver = "Function";
  sim::Machine machine(options);
  PDRIVER_OBJECT bus = testkit::LoadDriver(machine, u"Bus");
  PDRIVER_OBJECT function = testkit::LoadDriver(machine, u"Function");
  TestPdo pdo(bus, u"", true);

  Request request;
  EXPECT_EQ(request.Send(pdo.device, IRP_MN_POWER_SEQUENCE, PowerDeviceD0), STATUS_INVALID_PARAMETER_2);
  testkit::AsDriver(function, [&] {
    EXPECT_EQ(request.Send(pdo.device, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_INSUFFICIENT_RESOURCES);
  });
  EXPECT_EQ(request.minor, 0xFF) << "no completion function for a request that was not sent";
  EXPECT_EQ(pdo.irql, -1);
  EXPECT_EQ(machine.Irps().LiveCount(), 0u);
}

namespace {
NTSTATUS NTAPI EntryWithoutPowerRoutine(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }
}  // namespace

TEST(PoRequestPowerIrp, ADriverWithoutAPowerRoutineFailsTheIrpWithoutHoldingUpTheNext) {
  sim::Machine machine;
  PDRIVER_OBJECT bare = machine.LoadDriver(u"Bare", EntryWithoutPowerRoutine);
  PDEVICE_OBJECT device = nullptr;
  testkit::AsDriver(bare, [&] { IoCreateDevice(bare, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device); });
  device->Flags = (device->Flags & ~DO_DEVICE_INITIALIZING) | DO_POWER_PAGABLE;
  for (DEVICE_POWER_STATE state : {PowerDeviceD3, PowerDeviceD0}) {
    Request request;
    request.Send(device, IRP_MN_SET_POWER, state);
    request.Wait();
    EXPECT_EQ(request.status.Status, STATUS_INVALID_DEVICE_REQUEST);
  }
  testkit::AsDriver(bare, [&] { IoDeleteDevice(device); });
}

TEST(PoSetPowerState, RecordsTheReportedStateAndReturnsThePreviousOne) {
  sim::Machine machine;
  PDRIVER_OBJECT function = testkit::LoadDriver(machine, u"Function");
  testkit::Behaviour behaviour;
  PDEVICE_OBJECT device = testkit::CreateDevice(function, behaviour);
  EXPECT_EQ(machine.Power().ReportedDeviceState(device), PowerDeviceUnspecified);
  testkit::AsDriver(function, [&] {
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoSetPowerState(device, DevicePowerState, state).DeviceState, PowerDeviceUnspecified);
    state.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoSetPowerState(device, DevicePowerState, state).DeviceState, PowerDeviceD0);
    state.SystemState = PowerSystemSleeping3;
    EXPECT_EQ(PoSetPowerState(device, SystemPowerState, state).SystemState, PowerSystemUnspecified)
        << "system and device states are kept apart";
  });
  EXPECT_EQ(machine.Power().ReportedDeviceState(device), PowerDeviceD3);
  testkit::Delete(device);
}

// ---- One power IRP of a kind at a time per device (Windows 2000 and XP) ----

TEST(PowerSerialisation, ASecondDeviceSetWaitsUntilTheDriverStartsTheNextPowerIrp) {
  sim::Machine machine;
  Journal journal;
  PDRIVER_OBJECT bus = testkit::LoadDriver(machine, u"Bus");
  PDRIVER_OBJECT function = testkit::LoadDriver(machine, u"Function");
  Stack stack(bus, function, journal, "fdo");
  PIRP held = nullptr;
  testkit::Dispatch passOn = stack.owner.behaviour.dispatch[IRP_MJ_POWER];
  stack.owner.behaviour.dispatch[IRP_MJ_POWER] = [&](PDEVICE_OBJECT device, PIRP irp) {
    if (held || IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_SET_POWER) return passOn(device, irp);
    journal.Add("fdo holds " + Describe(irp));
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };

  Request first, second, query;
  first.Send(stack.pdo.device, IRP_MN_SET_POWER, PowerDeviceD2);
  second.Send(stack.pdo.device, IRP_MN_SET_POWER, PowerDeviceD3);
  query.Send(stack.pdo.device, IRP_MN_QUERY_POWER, PowerDeviceD1);
  query.Wait();
  EXPECT_EQ(journal.Take(), (Lines{"fdo holds D2 SET_POWER", "fdo: D1 QUERY_POWER"}))
      << "the second set waits for the first; a device query does not";

  testkit::AsDriver(function, [&] {
    PoStartNextPowerIrp(held);
    IoCopyCurrentIrpStackLocationToNext(held);
    PoCallDriver(stack.owner.behaviour.lower, held);
  });
  first.Wait();
  second.Wait();
  EXPECT_EQ(journal.Take(), Lines{"fdo: D3 SET_POWER"});
  EXPECT_EQ(second.status.Status, STATUS_SUCCESS);
  EXPECT_EQ(machine.Power().ReportedDeviceState(stack.owner.device), PowerDeviceD3);
}

// ---- System sleep and wake ----

TEST(SystemSleep, PolicyOwnerSeesTheSystemIrpsWithItsDeviceIrpsInBetween) {
  sim::Machine machine;
  Journal journal;
  PDRIVER_OBJECT bus = testkit::LoadDriver(machine, u"Bus");
  PDRIVER_OBJECT function = testkit::LoadDriver(machine, u"Function");
  Stack stack(bus, function, journal, "fdo");
  machine.Power().SetStacksForTest({stack.pdo.device});

  ASSERT_TRUE(machine.Power().Sleep(PowerSystemSleeping3));
  EXPECT_EQ(journal.Take(), (Lines{"fdo: S3 QUERY_POWER", "fdo: S3 SET_POWER", "fdo: D3 SET_POWER"}));
  EXPECT_EQ(machine.Power().SystemState(), PowerSystemSleeping3);
  EXPECT_EQ(machine.Power().ReportedDeviceState(stack.owner.device), PowerDeviceD3);

  machine.Power().Wake();
  EXPECT_EQ(journal.Take(), (Lines{"fdo: S0 SET_POWER", "fdo: D0 SET_POWER"}));
  EXPECT_EQ(machine.Power().SystemState(), PowerSystemWorking);
  EXPECT_EQ(machine.Power().ReportedDeviceState(stack.owner.device), PowerDeviceD0);

  const auto& irps = stack.owner.systemIrps;
  ASSERT_EQ(irps.size(), 3u);
  EXPECT_EQ(irps[0].first, PowerActionSleep);
  EXPECT_EQ(irps[1].first, PowerActionSleep);
  EXPECT_EQ(irps[2].first, PowerActionNone) << "the wake IRP carries no action";
  EXPECT_EQ(irps[0].second, irps[1].second) << "one transition, one SystemContext";
  EXPECT_NE(irps[1].second, irps[2].second);
  EXPECT_EQ(machine.Power().Log(), (Lines{
                                       "S3 QUERY_POWER -> \\Device\\fdo: STATUS_SUCCESS",
                                       "D3 SET_POWER -> \\Device\\fdo: STATUS_SUCCESS",
                                       "S3 SET_POWER -> \\Device\\fdo: STATUS_SUCCESS",
                                       "D0 SET_POWER -> \\Device\\fdo: STATUS_SUCCESS",
                                       "S0 SET_POWER -> \\Device\\fdo: STATUS_SUCCESS",
                                   }));
  EXPECT_EQ(machine.Irps().LiveCount(), 0u);
}

TEST(SystemSleep, ChildStacksSleepBeforeTheirParentsAndWakeAfterThem) {
  sim::Machine machine;
  Journal journal;
  PDRIVER_OBJECT bus = testkit::LoadDriver(machine, u"Bus");
  PDRIVER_OBJECT function = testkit::LoadDriver(machine, u"Function");
  Stack parent(bus, function, journal, "parent");
  Stack child(bus, function, journal, "child");
  machine.Power().SetStacksForTest({parent.pdo.device, child.pdo.device});

  ASSERT_TRUE(machine.Power().Sleep(PowerSystemSleeping3));
  EXPECT_EQ(journal.Take(), (Lines{"child: S3 QUERY_POWER", "parent: S3 QUERY_POWER", "child: S3 SET_POWER",
                                   "child: D3 SET_POWER", "parent: S3 SET_POWER", "parent: D3 SET_POWER"}));
  machine.Power().Wake();
  EXPECT_EQ(journal.Take(),
            (Lines{"parent: S0 SET_POWER", "parent: D0 SET_POWER", "child: S0 SET_POWER", "child: D0 SET_POWER"}));
}

TEST(SystemSleep, AVetoedQueryAbandonsTheSleepAndReaffirmsTheWorkingState) {
  sim::Machine machine;
  Journal journal;
  PDRIVER_OBJECT bus = testkit::LoadDriver(machine, u"Bus");
  PDRIVER_OBJECT function = testkit::LoadDriver(machine, u"Function");
  Stack top(bus, function, journal, "top");
  Stack middle(bus, function, journal, "middle");
  Stack leaf(bus, function, journal, "leaf");
  middle.owner.queryAnswer = STATUS_UNSUCCESSFUL;
  machine.Power().SetStacksForTest({top.pdo.device, middle.pdo.device, leaf.pdo.device});

  EXPECT_FALSE(machine.Power().Sleep(PowerSystemSleeping3));
  EXPECT_EQ(journal.Take(), (Lines{"leaf: S3 QUERY_POWER", "middle: S3 QUERY_POWER", "leaf: S0 SET_POWER",
                                   "leaf: D0 SET_POWER"}))
      << "the stack that agreed gets the working state again; the vetoing one and those not queried hear nothing";
  EXPECT_EQ(machine.Power().SystemState(), PowerSystemWorking);
  ASSERT_EQ(leaf.owner.systemIrps.size(), 2u);
  EXPECT_EQ(leaf.owner.systemIrps[1].first, PowerActionNone);
  EXPECT_EQ(machine.Power().Log()[1], "S3 QUERY_POWER -> \\Device\\middle: STATUS_UNSUCCESSFUL");

  middle.owner.queryAnswer = STATUS_SUCCESS;
  EXPECT_TRUE(machine.Power().Sleep(PowerSystemSleeping1)) << "a later sleep is not held back";
  machine.Power().Wake();
}

// ---- The device nodes of the Plug and Play manager ----

namespace {

// A function driver for root device nodes that passes everything down and
// notes the system power IRPs it sees, by instance path.
Journal* nodeJournal = nullptr;

struct NodeExtension {
  PDEVICE_OBJECT lower;
  char instance[64];
};

NodeExtension& NodeExt(PDEVICE_OBJECT device) { return *(NodeExtension*)device->DeviceExtension; }

NTSTATUS NTAPI NodePower(PDEVICE_OBJECT device, PIRP irp) {
  nodeJournal->Add(std::string(NodeExt(device).instance) + ": " + Describe(irp));
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(NodeExt(device).lower, irp);
}

NTSTATUS NTAPI NodePnp(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = NodeExt(device).lower;
  bool remove = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (remove) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS NTAPI NodeAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(NodeExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  std::string instance = sim::Narrow(sim::CurrentMachine().Pnp().NodeOfPdo(pdo)->InstancePath());
  std::snprintf(NodeExt(device).instance, sizeof NodeExt(device).instance, "%s", instance.c_str());
  NodeExt(device).lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags |= NodeExt(device).lower->Flags & DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI NodeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = NodePnp;
  driver->MajorFunction[IRP_MJ_POWER] = NodePower;
  driver->DriverExtension->AddDevice = NodeAddDevice;
  return STATUS_SUCCESS;
}

}  // namespace

TEST(SystemSleep, WalksTheDeviceNodesLaterArrivalsFirst) {
  Journal journal;  // outlives the machine, whose shutdown removes the nodes
  nodeJournal = &journal;
  sim::Machine machine;
  machine.Pnp().AddService({u"Node", NodeEntry});
  machine.Pnp().Bind({u"ROOT\\POWER", u"Node"});
  for (const char16_t* instance : {u"ROOT\\POWER\\0000", u"ROOT\\POWER\\0001"}) {
    sim::RootDeviceConfig config;
    config.instancePath = instance;
    config.hardwareIds = {u"ROOT\\POWER"};
    machine.Pnp().AddRootDevice(config);
  }

  ASSERT_TRUE(machine.Power().Sleep(PowerSystemSleeping3));
  machine.Power().Wake();
  EXPECT_EQ(journal.Take(), (Lines{"ROOT\\POWER\\0001: S3 QUERY_POWER", "ROOT\\POWER\\0000: S3 QUERY_POWER",
                                   "ROOT\\POWER\\0001: S3 SET_POWER", "ROOT\\POWER\\0000: S3 SET_POWER",
                                   "ROOT\\POWER\\0000: S0 SET_POWER", "ROOT\\POWER\\0001: S0 SET_POWER"}));
}

// The verifier's Plug and Play rules, each shown firing on a small faulty
// driver: AttachFlags, PnpRemoveContract (a failed removal or cancellation, a
// device left behind at IRP_MN_REMOVE_DEVICE), PnpForwarding (a request failed
// with STATUS_NOT_SUPPORTED or answered in the bus driver's place), and the
// notification rules (registration above PASSIVE_LEVEL, registrations left at
// unload).
#include <gtest/gtest.h>

#include "sim/kernel/object.h"
#include "sim/kernel/ustring.h"
#include "tests/sim/pnp_kit.h"
#include "tests/sim/testkit.h"

using pnpkit::Log;
using pnpkit::Root;
using pnpkit::Script;

namespace {

// Starts ROOT\TEST\0000 with "Function" run by `function` (and "Filter" above
// it when given), then runs `then` on the machine.
void WithDevice(Script& function, Script* filter, const std::function<void(sim::Machine&, sim::DeviceNode*)>& then) {
  Log log;
  sim::Machine machine;
  pnpkit::Install(machine, u"Function", function, log);
  if (filter) pnpkit::Install(machine, u"Filter", *filter, log);
  sim::DriverBinding binding{u"ROOT\\TEST", u"Function"};
  if (filter) binding.upperFilters = {u"Filter"};
  machine.Pnp().Bind(binding);
  sim::DeviceNode* node = machine.Pnp().AddRootDevice(Root(u"ROOT\\TEST\\0000", {u"ROOT\\TEST"}));
  then(machine, node);
}

std::optional<NTSTATUS> Fail(PIRP irp, UCHAR minor, NTSTATUS status) {
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != minor) return std::nullopt;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void AddDeviceLeavesInitializing() {
  Script function;
  function.leaveInitializing = true;
  WithDevice(function, nullptr, [](sim::Machine&, sim::DeviceNode*) {});
}

void RemoveLeavesTheDevice() {
  Script function;
  function.keepDeviceAtRemove = true;
  WithDevice(function, nullptr, [](sim::Machine& machine, sim::DeviceNode* node) { machine.Pnp().RemoveDevice(node); });
}

void RemoveIgnored() {
  Script function;
  function.onPnp = [](PDEVICE_OBJECT device, PIRP irp) -> std::optional<NTSTATUS> {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return std::nullopt;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
  };
  WithDevice(function, nullptr, [](sim::Machine& machine, sim::DeviceNode* node) { machine.Pnp().RemoveDevice(node); });
}

void SurpriseRemovalFailed() {
  Script function;
  function.onPnp = [](PDEVICE_OBJECT, PIRP irp) { return Fail(irp, IRP_MN_SURPRISE_REMOVAL, STATUS_UNSUCCESSFUL); };
  WithDevice(function, nullptr, [](sim::Machine& machine, sim::DeviceNode* node) { machine.Pnp().SurpriseRemove(node); });
}

void CancelRemoveFailed() {
  Script function;
  function.onPnp = [](PDEVICE_OBJECT, PIRP irp) -> std::optional<NTSTATUS> {
    if (auto failed = Fail(irp, IRP_MN_QUERY_REMOVE_DEVICE, STATUS_DEVICE_BUSY)) return failed;
    return Fail(irp, IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_UNSUCCESSFUL);
  };
  WithDevice(function, nullptr, [](sim::Machine& machine, sim::DeviceNode* node) { machine.Pnp().RemoveDevice(node); });
}

// A filter that answers a request it does not handle with STATUS_NOT_SUPPORTED
// instead of passing it down.
void FilterFailsCapabilities() {
  Script function, filter;
  filter.onPnp = [](PDEVICE_OBJECT, PIRP irp) { return Fail(irp, IRP_MN_QUERY_CAPABILITIES, STATUS_NOT_SUPPORTED); };
  WithDevice(function, &filter, [](sim::Machine&, sim::DeviceNode*) {});
}

NTSTATUS NTAPI TakeBack(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A filter that waits for the bus's success, then completes the request with
// STATUS_NOT_SUPPORTED on its way up.
void FilterSpoilsQueryStopOnTheWayUp() {
  Script function, filter;
  filter.onPnp = [](PDEVICE_OBJECT device, PIRP irp) -> std::optional<NTSTATUS> {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_QUERY_STOP_DEVICE) return std::nullopt;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, TakeBack, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(device->DeviceObjectExtension->AttachedTo, irp) == STATUS_PENDING)
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NOT_SUPPORTED;
  };
  WithDevice(function, &filter, [](sim::Machine& machine, sim::DeviceNode* node) { machine.Pnp().Rebalance(node); });
}

// A function driver answering TargetDeviceRelation, which only the bus driver does.
void FunctionAnswersTargetRelation() {
  Script function;
  function.onPnp = [](PDEVICE_OBJECT device, PIRP irp) -> std::optional<NTSTATUS> {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction != IRP_MN_QUERY_DEVICE_RELATIONS) return std::nullopt;
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_UNSUCCESSFUL;
  };
  WithDevice(function, nullptr, [](sim::Machine& machine, sim::DeviceNode* node) {
    Log log;
    pnpkit::Client client(machine, u"Client", log);
    std::u16string path = machine.Objects().NameOf(node->PhysicalDeviceObject());
    UNICODE_STRING name = sim::View(path);
    PFILE_OBJECT file;
    PDEVICE_OBJECT device;
    testkit::AsDriver(client.driver, [&] { IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device); });
    client.WatchTarget(file);
  });
}

void RegisterAtDispatchLevel() {
  sim::Machine machine;
  Log log;
  pnpkit::Client client(machine, u"Client", log);
  pnpkit::AtIrql(client.driver, DISPATCH_LEVEL, [&] { client.WatchInterfaces(pnpkit::kTestInterface, false); });
}

NTSTATUS NTAPI ForgottenCallback(PVOID, PVOID) { return STATUS_SUCCESS; }

void UnloadWithARegistrationLeft() {
  sim::Machine machine;
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"Client");
  PVOID entry;
  testkit::AsDriver(driver, [&] {
    IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, (PVOID)&pnpkit::kTestInterface, driver,
                                   ForgottenCallback, nullptr, &entry);
  });
  machine.UnloadDriver(driver);
}

void InvalidateANonPdo() {
  sim::Machine machine;
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"Legacy");
  testkit::Behaviour behaviour;
  PDEVICE_OBJECT device = testkit::CreateDevice(driver, behaviour);
  testkit::AsDriver(driver, [&] { IoInvalidateDeviceState(device); });
}

}  // namespace

TEST(PnpVerifier, AddDeviceLeavingTheDeviceInitializing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(AddDeviceLeavesInitializing(),
               "VERIFIER STOP: AttachFlags.*Function's AddDevice returned with DO_DEVICE_INITIALIZING still set on device "
               "0x[0-9a-f]+ \\(for ROOT\\\\TEST\\\\0000\\)");
}

TEST(PnpVerifier, RemoveThatLeavesADeviceBehind) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(RemoveLeavesTheDevice(),
               "VERIFIER STOP: PnpRemoveContract.*Function's device 0x[0-9a-f]+ was detached but not deleted after "
               "IRP_MN_REMOVE_DEVICE on ROOT\\\\TEST\\\\0000 \\(stack: Function\\)");
  EXPECT_DEATH(RemoveIgnored(),
               "VERIFIER STOP: PnpRemoveContract.*Function's device 0x[0-9a-f]+ is still attached and not deleted after "
               "IRP_MN_REMOVE_DEVICE");
}

TEST(PnpVerifier, FailingARemovalOrACancellation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(SurpriseRemovalFailed(),
               "VERIFIER STOP: PnpRemoveContract.*IRP_MN_SURPRISE_REMOVAL completed with STATUS_UNSUCCESSFUL on "
               "ROOT\\\\TEST\\\\0000 \\(stack: Function\\); drivers must not fail it");
  EXPECT_DEATH(CancelRemoveFailed(),
               "VERIFIER STOP: PnpRemoveContract.*IRP_MN_CANCEL_REMOVE_DEVICE completed with STATUS_UNSUCCESSFUL");
}

TEST(PnpVerifier, FailingARequestWithNotSupportedOrChangingItsStatus) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(FilterFailsCapabilities(),
               "VERIFIER STOP: PnpForwarding.*IRP_MN_QUERY_CAPABILITIES was completed with STATUS_NOT_SUPPORTED above "
               "the PDO on ROOT\\\\TEST\\\\0000 \\(stack: Function Filter\\)");
  EXPECT_DEATH(FilterSpoilsQueryStopOnTheWayUp(),
               "VERIFIER STOP: PnpForwarding.*IRP_MN_QUERY_STOP_DEVICE left the PDO with STATUS_SUCCESS but reached the "
               "PnP manager with STATUS_NOT_SUPPORTED");
  EXPECT_DEATH(FunctionAnswersTargetRelation(),
               "VERIFIER STOP: PnpForwarding.*TargetDeviceRelation on the stack of \\\\Device\\\\[0-9a-f]+ came back "
               "with STATUS_UNSUCCESSFUL without reaching the PDO");
}

TEST(PnpVerifier, NotificationRules) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(RegisterAtDispatchLevel(),
               "VERIFIER STOP: IrqlPassive.*IoRegisterPlugPlayNotification called at IRQL 2");
  EXPECT_DEATH(UnloadWithARegistrationLeft(),
               "VERIFIER STOP: UnloadResidue.*Client unloads leaving:\n +notification 0x[0-9a-f]+ still registered "
               "\\(EventCategoryDeviceInterfaceChange, callback .*ForgottenCallback\\)");
  EXPECT_DEATH(InvalidateANonPdo(), "VERIFIER STOP: KernelStop.*IoInvalidateDeviceState on 0x[0-9a-f]+, which is not the PDO");
}

// The same drivers without their faults: nothing stops.
TEST(PnpVerifier, CorrectDriversPassEveryCheck) {
  Script function, filter;
  WithDevice(function, &filter, [](sim::Machine& machine, sim::DeviceNode* node) {
    EXPECT_TRUE(machine.Pnp().Rebalance(node));
    machine.Pnp().SurpriseRemove(node);
    EXPECT_EQ(node->State(), sim::NodeState::Removed);
  });
  EXPECT_EQ(function.unloads, 1);
  EXPECT_EQ(filter.unloads, 1);
}

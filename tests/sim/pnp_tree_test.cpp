// The device tree as NT's PnP manager builds it: drivers found by hardware ID,
// loaded with their first device node and unloaded after their last, AddDevice
// bottom-up, the start sequence with its queries, and bad configurations that
// leave a node without a driver instead of stopping the machine.
#include <gtest/gtest.h>

#include <optional>

#include "sim/kernel/object.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/trace.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"
#include "sim/win32/win32.h"
#include "tests/sim/pnp_kit.h"
#include "tests/sim/testkit.h"

using pnpkit::Log;
using pnpkit::Root;
using pnpkit::Script;
using Lines = std::vector<std::string>;

namespace {

std::string NameOf(PDEVICE_OBJECT device) { return pnpkit::Text(sim::CurrentMachine().Objects().NameOf(device)); }

}  // namespace

TEST(PnpTree, AStackIsBuiltBottomUpAndStartedTopDownInNtOrder) {
  Log log;
  Script lower, function, upper;
  sim::Machine machine;
  pnpkit::Install(machine, u"Lower", lower, log);
  pnpkit::Install(machine, u"Function", function, log);
  pnpkit::Install(machine, u"Upper", upper, log);
  machine.Pnp().Bind({u"ROOT\\TEST", u"Function", {u"Upper"}, {u"Lower"}});

  sim::DeviceNode* node = machine.Pnp().AddRootDevice(Root(u"ROOT\\TEST\\0000", {u"ROOT\\TEST"}));
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->State(), sim::NodeState::Started);
  EXPECT_EQ(log.Lines(), (Lines{"Lower: AddDevice", "Function: AddDevice", "Upper: AddDevice",
                                "Upper: IRP_MN_START_DEVICE", "Function: IRP_MN_START_DEVICE", "Lower: IRP_MN_START_DEVICE",
                                "Upper: IRP_MN_QUERY_CAPABILITIES", "Function: IRP_MN_QUERY_CAPABILITIES",
                                "Lower: IRP_MN_QUERY_CAPABILITIES", "Upper: IRP_MN_QUERY_PNP_DEVICE_STATE",
                                "Function: IRP_MN_QUERY_PNP_DEVICE_STATE", "Lower: IRP_MN_QUERY_PNP_DEVICE_STATE"}));

  // The PDO is the root bus's, named as the object manager names devices
  // without a name, and flagged as a bus-enumerated, pageable device.
  PDEVICE_OBJECT pdo = node->PhysicalDeviceObject();
  EXPECT_EQ(sim::DriverName(pdo->DriverObject), "PnpManager");
  EXPECT_EQ(NameOf(pdo).size(), std::string("\\Device\\00000000").size());
  EXPECT_EQ(NameOf(pdo).rfind("\\Device\\0000", 0), 0u) << NameOf(pdo);
  EXPECT_EQ(pdo->Flags & (DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE), ULONG(DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE));
  EXPECT_EQ(pdo->Flags & DO_DEVICE_INITIALIZING, 0u);
  EXPECT_EQ(node->Top()->DriverObject, machine.Pnp().LoadedDriver(u"Upper"));
  EXPECT_EQ(pdo->AttachedDevice->DriverObject, machine.Pnp().LoadedDriver(u"Lower"));
  EXPECT_EQ(machine.Pnp().NodeOfDevice(node->Top()), node);
  EXPECT_EQ(machine.Pnp().FindNode(u"root\\test\\0000"), node) << "instance paths compare without case";
  EXPECT_EQ(node->HardwareKeyPath(),
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\ROOT\\TEST\\0000\\Device Parameters");
}

// The node's keys: Enum\<instance> names its hardware IDs and service, its
// Device Parameters hold what the machine's configuration gives the device,
// and the driver reads them through IoOpenDeviceRegistryKey.
TEST(PnpTree, TheNodesKeysAreInTheRegistry) {
  Log log;
  Script function;
  std::u16string portName;
  function.onAdded = [&](PDEVICE_OBJECT, PDEVICE_OBJECT pdo) {
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    std::u16string name = u"PortName";
    UNICODE_STRING valueName = sim::View(name);
    union {
      KEY_VALUE_PARTIAL_INFORMATION info;
      UCHAR bytes[64];
    } buffer;
    ULONG length = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, &buffer, sizeof buffer, &length), STATUS_SUCCESS);
    portName = sim::ToU16((const WCHAR*)buffer.info.Data);
    ZwClose(key);
  };
  sim::Machine machine;
  pnpkit::Install(machine, u"Function", function, log);
  machine.Pnp().Bind({u"ROOT\\TOLVANE", u"Function"});
  sim::RootDeviceConfig config = Root(u"ROOT\\PORTS\\0000", {u"ROOT\\TOLVANE"});
  config.hardwareKeyValues = {{u"PortName", sim::RegistryValue::String(u"COM5")}};
  sim::DeviceNode* node = machine.Pnp().AddRootDevice(config);

  EXPECT_EQ(portName, u"COM5");
  std::u16string deviceKey = sim::kEnumKey + u"\\ROOT\\PORTS\\0000";
  EXPECT_EQ(machine.Reg().GetValue(deviceKey, u"Service")->AsString(), u"Function");
  std::optional<sim::RegistryValue> ids = machine.Reg().GetValue(deviceKey, u"HardwareID");
  ASSERT_TRUE(ids);
  EXPECT_EQ(ids->type, ULONG(REG_MULTI_SZ));
  EXPECT_EQ(std::u16string((const char16_t*)ids->data.data(), ids->data.size() / 2), std::u16string(u"ROOT\\TOLVANE\0\0", 14));
  EXPECT_EQ(machine.Reg().GetValue(node->HardwareKeyPath(), u"PortName")->AsString(), u"COM5");
  EXPECT_TRUE(machine.Reg().KeyExists(sim::kServicesKey + u"\\Function"));
}

TEST(PnpTree, RequestsComeFromThePnpThreadAtPassiveLevelStartingAsNotSupported) {
  Log log;
  Script function;
  std::vector<std::string> seen;
  sim::Machine machine;
  function.onPnp = [&](PDEVICE_OBJECT, PIRP irp) -> std::optional<NTSTATUS> {
    char line[96];
    std::snprintf(line, sizeof line, "%s on %s at %d with 0x%08X", sim::PnpMinorName(IoGetCurrentIrpStackLocation(irp)->MinorFunction),
                  sim::CurrentThread()->name.c_str(), KeGetCurrentIrql(), (unsigned)irp->IoStatus.Status);
    seen.push_back(line);
    return std::nullopt;
  };
  pnpkit::Install(machine, u"Function", function, log);
  machine.Pnp().Bind({u"ROOT\\TEST", u"Function"});
  machine.Pnp().AddRootDevice(Root(u"ROOT\\TEST\\0000", {u"ROOT\\TEST"}));
  EXPECT_EQ(seen, (Lines{"IRP_MN_START_DEVICE on PnP manager at 0 with 0xC00000BB",
                         "IRP_MN_QUERY_CAPABILITIES on PnP manager at 0 with 0xC00000BB",
                         "IRP_MN_QUERY_PNP_DEVICE_STATE on PnP manager at 0 with 0xC00000BB"}));
}

TEST(PnpTree, CapabilitiesArePreparedByTheManagerAndFilledByTheBus) {
  Log log;
  Script function;
  std::optional<pnpkit::TestPdo> pdo;  // the bus's, kept until the machine is gone
  sim::Machine machine;
  pnpkit::Install(machine, u"Function", function, log);
  machine.Pnp().Bind({u"USB\\VID_1234&PID_5678", u"Function"});
  pdo.emplace(sim::CreateBusDriver(u"TestBus"), u"USB\\VID_1234&PID_5678\\SN0001",
              std::vector<std::u16string>{u"USB\\VID_1234&PID_5678&REV_0100", u"USB\\VID_1234&PID_5678"});
  pnpkit::TestPdo& child = *pdo;
  sim::DeviceNode* node = machine.Pnp().ReportChildArrived(&child);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->State(), sim::NodeState::Started) << "the second hardware ID matched";

  // What reached the bus: zeroed, with size, version, and unknown address and UI number.
  EXPECT_EQ(child.seen.Size, sizeof(DEVICE_CAPABILITIES));
  EXPECT_EQ(child.seen.Version, 1);
  EXPECT_EQ(child.seen.Address, 0xFFFFFFFFu);
  EXPECT_EQ(child.seen.UINumber, 0xFFFFFFFFu);
  EXPECT_EQ(child.seen.DeviceWake, PowerDeviceUnspecified);
  EXPECT_EQ(child.seen.SurpriseRemovalOK, 0u);
  // What the node keeps: the bus's answer.
  const DEVICE_CAPABILITIES& caps = node->Capabilities();
  EXPECT_EQ(caps.Size, sizeof(DEVICE_CAPABILITIES));
  EXPECT_EQ(caps.Address, 3u);
  EXPECT_EQ(caps.UINumber, 0xFFFFFFFFu);
  EXPECT_EQ(caps.DeviceWake, PowerDeviceD2);
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);

  machine.Pnp().ReportChildGone(&child);
  EXPECT_EQ(node->State(), sim::NodeState::Removed);
  EXPECT_EQ(child.removals, std::vector<bool>{false}) << "IRP_MN_REMOVE_DEVICE told the bus the device is gone";
}

// A bus that reports a child gone and then (the reports having crossed on
// their way) its arrival: the child is no longer among the bus's relations,
// so no node is made for it, and no driver loads.
TEST(PnpTree, AnArrivalReportedAfterTheChildWentAddsNoNode) {
  Log log;
  Script function;
  std::optional<pnpkit::TestPdo> pdo;
  sim::Machine machine;
  pnpkit::Install(machine, u"Function", function, log);
  machine.Pnp().Bind({u"USB\\VID_1234&PID_5678", u"Function"});
  pdo.emplace(sim::CreateBusDriver(u"TestBus"), u"USB\\VID_1234&PID_5678\\SN0002",
              std::vector<std::u16string>{u"USB\\VID_1234&PID_5678"});
  machine.Pnp().ReportChildGone(&*pdo);
  EXPECT_EQ(machine.Pnp().ReportChildArrived(&*pdo), nullptr);
  EXPECT_EQ(machine.Pnp().NodeOfPdo(pdo->DeviceObject()), nullptr);
  EXPECT_EQ(function.entries, 0);
}

TEST(PnpTree, ADriverLoadsWithItsFirstNodeAndUnloadsAfterItsLast) {
  Log log;
  Script function;
  sim::Machine machine;
  pnpkit::Install(machine, u"Function", function, log);
  machine.Pnp().Bind({u"ROOT\\TEST", u"Function"});
  EXPECT_EQ(machine.Pnp().LoadedDriver(u"Function"), nullptr) << "installing a service loads nothing";

  sim::DeviceNode* first = machine.Pnp().AddRootDevice(Root(u"ROOT\\TEST\\0000", {u"ROOT\\TEST"}));
  sim::DeviceNode* second = machine.Pnp().AddRootDevice(Root(u"ROOT\\TEST\\0001", {u"ROOT\\TEST"}));
  EXPECT_EQ(function.entries, 1);
  EXPECT_EQ(function.registryPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Function");
  EXPECT_EQ(machine.Pnp().Nodes(), (std::vector<sim::DeviceNode*>{first, second}));

  EXPECT_TRUE(machine.Pnp().RemoveDevice(first));
  EXPECT_EQ(function.unloads, 0) << "the second node still uses the driver";
  EXPECT_NE(machine.Pnp().LoadedDriver(u"Function"), nullptr);
  EXPECT_TRUE(machine.Pnp().RemoveDevice(second));
  EXPECT_EQ(function.unloads, 1);
  EXPECT_EQ(machine.Pnp().LoadedDriver(u"Function"), nullptr);
  EXPECT_TRUE(machine.Pnp().Nodes().empty());

  // A new node loads it again.
  machine.Pnp().AddRootDevice(Root(u"ROOT\\TEST\\0002", {u"ROOT\\TEST"}));
  EXPECT_EQ(function.entries, 2);
}

TEST(PnpTree, ShutdownRemovesEveryNodeChildrenFirstAndUnloadsTheDrivers) {
  Log log;
  Script parent, child;
  std::optional<pnpkit::TestPdo> pdo;  // the bus keeps its PDO beyond the machine's shutdown
  {
    sim::Machine machine;
    pnpkit::Install(machine, u"Parent", parent, log);
    pnpkit::Install(machine, u"Child", child, log);
    machine.Pnp().Bind({u"ROOT\\HUB", u"Parent"});
    machine.Pnp().Bind({u"USB\\DEVICE", u"Child"});
    sim::DeviceNode* hub = machine.Pnp().AddRootDevice(Root(u"ROOT\\HUB\\0000", {u"ROOT\\HUB"}));
    pdo.emplace(sim::CreateBusDriver(u"TestBus"), u"USB\\DEVICE\\1", std::vector<std::u16string>{u"USB\\DEVICE"});
    EXPECT_EQ(machine.Pnp().ReportChildArrived(&*pdo, hub)->Parent(), hub);
    log.Clear();
  }
  EXPECT_EQ(log.Lines(), (Lines{"Child: IRP_MN_REMOVE_DEVICE", "Parent: IRP_MN_REMOVE_DEVICE"}));
  EXPECT_EQ(pdo->removals, std::vector<bool>{true}) << "the bus still has the device";
  EXPECT_EQ(parent.unloads, 1);
  EXPECT_EQ(child.unloads, 1);
}

TEST(PnpTree, InvalidatingTheDeviceStateQueriesItAgain) {
  Log log;
  Script function;
  sim::Machine machine;
  function.deviceState = PNP_DEVICE_DONT_DISPLAY_IN_UI;
  pnpkit::Install(machine, u"Function", function, log);
  machine.Pnp().Bind({u"ROOT\\TEST", u"Function"});
  sim::DeviceNode* node = machine.Pnp().AddRootDevice(Root(u"ROOT\\TEST\\0000", {u"ROOT\\TEST"}));
  EXPECT_EQ(node->DeviceState(), ULONG(PNP_DEVICE_DONT_DISPLAY_IN_UI));

  // IoInvalidateDeviceState may be called at DISPATCH_LEVEL: it only queues.
  function.deviceState = PNP_DEVICE_NOT_DISABLEABLE;
  pnpkit::AtIrql(machine.Pnp().LoadedDriver(u"Function"), DISPATCH_LEVEL,
                 [&] { IoInvalidateDeviceState(node->PhysicalDeviceObject()); });
  machine.Pnp().WaitIdle();
  EXPECT_EQ(node->DeviceState(), ULONG(PNP_DEVICE_NOT_DISABLEABLE));
  EXPECT_EQ(log.Of("Function: ").back(), "IRP_MN_QUERY_PNP_DEVICE_STATE");
  EXPECT_EQ(node->State(), sim::NodeState::Started);

  // A device that reports itself failed is surprise-removed.
  function.deviceState = PNP_DEVICE_FAILED;
  IoInvalidateDeviceState(node->PhysicalDeviceObject());
  machine.Pnp().WaitIdle();
  EXPECT_EQ(node->State(), sim::NodeState::Removed);
  Lines seen = log.Of("Function: ");
  Lines tail(seen.end() - 3, seen.end());
  EXPECT_EQ(tail, (Lines{"IRP_MN_QUERY_PNP_DEVICE_STATE", "IRP_MN_SURPRISE_REMOVAL", "IRP_MN_REMOVE_DEVICE"}));
}

TEST(PnpTree, TheFirstMatchingHardwareIdChoosesTheDriver) {
  Log log;
  Script specific, generic;
  sim::Machine machine;
  pnpkit::Install(machine, u"Specific", specific, log);
  pnpkit::Install(machine, u"Generic", generic, log);
  machine.Pnp().Bind({u"USB\\CLASS_FF", u"Generic"});
  machine.Pnp().Bind({u"USB\\VID_1234&PID_5678", u"Specific"});
  sim::DeviceNode* node =
      machine.Pnp().AddRootDevice(Root(u"ROOT\\MERROW\\0000", {u"USB\\VID_1234&PID_5678", u"USB\\CLASS_FF"}));
  EXPECT_EQ(node->Top()->DriverObject, machine.Pnp().LoadedDriver(u"Specific"));
  EXPECT_EQ(generic.entries, 0);
}

// ---- bad configurations and bad calls: a message and a state, never a stop ----

TEST(PnpTree, ANodeNobodyServesStaysWithoutADriver) {
  Log log;
  Script broken;
  sim::Machine machine;
  broken.entryStatus = STATUS_UNSUCCESSFUL;
  pnpkit::Install(machine, u"Broken", broken, log);
  machine.Pnp().Bind({u"ROOT\\UNINSTALLED", u"NotInstalled"});
  machine.Pnp().Bind({u"ROOT\\BROKEN", u"Broken"});

  sim::DeviceNode* unknown = machine.Pnp().AddRootDevice(Root(u"ROOT\\UNKNOWN\\0000", {u"ROOT\\UNKNOWN"}));
  sim::DeviceNode* uninstalled = machine.Pnp().AddRootDevice(Root(u"ROOT\\UNINSTALLED\\0000", {u"ROOT\\UNINSTALLED"}));
  sim::DeviceNode* failing = machine.Pnp().AddRootDevice(Root(u"ROOT\\BROKEN\\0000", {u"ROOT\\BROKEN"}));
  for (sim::DeviceNode* node : {unknown, uninstalled, failing}) {
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->State(), sim::NodeState::DriverMissing) << pnpkit::Text(node->InstancePath());
    EXPECT_EQ(node->Top(), nullptr);
  }
  EXPECT_EQ(broken.entries, 1);
  EXPECT_EQ(machine.Pnp().LoadedDriver(u"Broken"), nullptr);

  // Nothing opens a device without a started stack.
  HANDLE handle = win32::CreateFileW(sim::CurrentMachine().Objects().NameOf(unknown->PhysicalDeviceObject()),
                                     GENERIC_READ, 0, win32::OPEN_EXISTING, 0);
  EXPECT_EQ(handle, win32::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win32::LastNtStatus(), STATUS_NO_SUCH_DEVICE);

  EXPECT_TRUE(machine.Pnp().RemoveDevice(unknown));
  EXPECT_FALSE(machine.Pnp().RemoveDevice(unknown)) << "removing a node twice is refused";
  EXPECT_FALSE(machine.Pnp().RemoveDevice(nullptr));
  EXPECT_EQ(machine.Pnp().AddRootDevice(Root(u"ROOT\\BROKEN\\0000", {u"ROOT\\BROKEN"})), nullptr)
      << "an instance path is unique";
}

TEST(PnpTree, AFailedAddDeviceOrStartRemovesWhatWasAttached) {
  Log log;
  Script function, upper, unstartable;
  sim::Machine machine;
  upper.addDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
  unstartable.onPnp = [](PDEVICE_OBJECT, PIRP irp) -> std::optional<NTSTATUS> {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_START_DEVICE) return std::nullopt;
    irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_NOT_CONNECTED;
  };
  pnpkit::Install(machine, u"Function", function, log);
  pnpkit::Install(machine, u"Upper", upper, log);
  pnpkit::Install(machine, u"Unstartable", unstartable, log);
  machine.Pnp().Bind({u"ROOT\\FILTERED", u"Function", {u"Upper"}});
  machine.Pnp().Bind({u"ROOT\\UNSTARTABLE", u"Unstartable"});

  sim::DeviceNode* filtered = machine.Pnp().AddRootDevice(Root(u"ROOT\\FILTERED\\0000", {u"ROOT\\FILTERED"}));
  EXPECT_EQ(filtered->State(), sim::NodeState::AddDeviceFailed);
  EXPECT_EQ(log.Lines(), (Lines{"Function: AddDevice", "Upper: AddDevice", "Function: IRP_MN_REMOVE_DEVICE"}));
  EXPECT_EQ(filtered->PhysicalDeviceObject()->AttachedDevice, nullptr);
  EXPECT_EQ(function.unloads, 1);
  EXPECT_EQ(upper.unloads, 1);

  log.Clear();
  sim::DeviceNode* unstarted = machine.Pnp().AddRootDevice(Root(u"ROOT\\UNSTARTABLE\\0000", {u"ROOT\\UNSTARTABLE"}));
  EXPECT_EQ(unstarted->State(), sim::NodeState::StartFailed);
  EXPECT_EQ(log.Lines(), (Lines{"Unstartable: AddDevice", "Unstartable: IRP_MN_START_DEVICE",
                                "Unstartable: IRP_MN_REMOVE_DEVICE"}));
  EXPECT_EQ(unstartable.unloads, 1);
}

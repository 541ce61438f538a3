// The port finding merrow's interface by its TargetDevice text, opening the
// three pipes and learning the input pipe's packet size, whichever of the two
// device nodes came first; several ports and adapters on one machine.
#include "tests/port/stack_kit.h"

namespace stacktest {
namespace {

sim::DeviceNode* AdapterNode(StackRig& rig, const std::u16string& serial) {
  for (sim::DeviceNode* node : rig.Machine().Pnp().Nodes())
    if (node->InstancePath().ends_with(serial) && node->State() == sim::NodeState::Started) return node;
  return nullptr;
}

// The root-bus port ROOT\PORTS\0001 (COM8) beside the rig's own.
PPORT_EXTENSION AddSecondPort(StackRig& rig, const std::u16string& targetDevice) {
  porttest::Values values = {{u"PortName", sim::RegistryValue::String(u"COM8")},
                             {u"EndPointCaps", sim::RegistryValue::Dword(1)},
                             {u"TargetDevice", sim::RegistryValue::String(targetDevice)}};
  sim::DeviceNode* node = rig.Machine().Pnp().AddRootDevice({u"ROOT\\PORTS\\0001", {porttest::kHardwareId}, values, true});
  return PortExtension(node->Top());
}

int PlugAdapter(StackRig& rig, const std::u16string& serial) {
  sim::usb::AdapterConfig config;
  config.serial = serial;
  int port = rig.Pipe().Usb().Plug(std::make_shared<sim::usb::SerialAdapter>(config));
  rig.Machine().Pnp().WaitIdle();
  return port;
}

bool BoundTo(StackRig& rig, PPORT_EXTENSION port, sim::DeviceNode* adapter) {
  return rig.RunUntil([&] { return port->TargetStarted && port->StatusPipeOpen; }) && adapter &&
         port->TargetDeviceObject == adapter->Top();
}

TEST(Binding, ThePortOpensThePipesOfTheAdapterItNamesWhicheverNodeCameFirst) {
  for (bool portFirst : {false, true}) {
    SCOPED_TRACE(portFirst ? "port first" : "adapter first");
    StackRig rig({.portFirst = portFirst});
    ASSERT_TRUE(rig.WaitBound());
    PPORT_EXTENSION port = rig.Port();
    EXPECT_EQ(port->TargetDeviceObject, rig.Pipe().Device());
    PPIPE_TABLE_ENTRY table = rig.Pipe().Extension()->ConfigRecord->PipeTable;
    for (int pipe = 0; pipe < 3; ++pipe) EXPECT_EQ(table[pipe].PipeInfo->PipeFlags, 1u) << "\\PIPE0" << pipe << " open";
    EXPECT_TRUE(port->OutputPipeOpen && port->InputPipeOpen && port->StatusPipeOpen);
    EXPECT_EQ(port->InputPipe.Length, 64u) << "reads ask for the input pipe's packet size";
    EXPECT_EQ(rig.Machine().Reg().GetValue(rig.PortNode()->HardwareKeyPath(), u"HasPluggedIn")->AsDword(), std::optional<ULONG>(1));
    EXPECT_TRUE(rig.RunUntil([&] { return !(rig.PortNode()->DeviceState() & PNP_DEVICE_DONT_DISPLAY_IN_UI); }))
        << "shown once a device was bound";
  }
}

TEST(Binding, AVariant0PortOpensNoStatusPipe) {
  StackRig rig({.endPointCaps = 0});
  ASSERT_TRUE(rig.WaitBound());
  PPIPE_TABLE_ENTRY table = rig.Pipe().Extension()->ConfigRecord->PipeTable;
  EXPECT_EQ(table[1].PipeInfo->PipeFlags, 1u);
  EXPECT_EQ(table[2].PipeInfo->PipeFlags, 0u) << "\\PIPE02 is never opened";
  EXPECT_TRUE(rig.Port()->StatusPipeOpen) << "counted as open, so the pipes are usable";
}

// One arrival binds one port; a bound port is passed over by the next.
TEST(Binding, TwoPortsMatchingEveryAdapterTakeOneEach) {
  StackRig rig({.targetDevice = u"vid_5e1a"});
  ASSERT_TRUE(rig.WaitBound());
  PPORT_EXTENSION second = AddSecondPort(rig, u"VID_5E1A");
  rig.Machine().Sleep(100 * kMs);
  EXPECT_EQ(second->TargetDeviceObject, nullptr) << "the only adapter is taken";
  PlugAdapter(rig, u"SIM0002");
  EXPECT_TRUE(BoundTo(rig, second, AdapterNode(rig, u"SIM0002")));
  EXPECT_EQ(rig.Port()->TargetDeviceObject, rig.Pipe().Device()) << "the first port kept its adapter";
}

TEST(Binding, TwoPortsTakeTheAdaptersTheirTextsName) {
  StackRig rig({.targetDevice = u"#sim0002#", .portFirst = true});
  PPORT_EXTENSION second = AddSecondPort(rig, u"#SIM0001#");
  EXPECT_TRUE(BoundTo(rig, second, AdapterNode(rig, u"SIM0001")));
  EXPECT_EQ(rig.Port()->TargetDeviceObject, nullptr) << "SIM0001 is not the first port's";
  PlugAdapter(rig, u"SIM0002");
  EXPECT_TRUE(BoundTo(rig, rig.Port(), AdapterNode(rig, u"SIM0002")));
}

}  // namespace
}  // namespace stacktest

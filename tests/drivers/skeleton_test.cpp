// Both drivers linked into one program, loaded on one machine by the Plug and
// Play manager for their device nodes (the port on the root bus, merrow for
// the adapter plugged into the USB bus), started, removed and unloaded
// without a verifier stop.
#include <gtest/gtest.h>

#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/pnp.h"
#include "sim/usb/adapter.h"
#include "sim/usb/controller.h"
#include "sim/win32/win32.h"

extern "C" NTSTATUS NTAPI TolvaneDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);
extern "C" NTSTATUS NTAPI MerrowDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace {

void UseAndRemove(sim::DeviceNode* node, PDRIVER_OBJECT driver, NTSTATUS unknownControlCode) {
  ASSERT_EQ(node->State(), sim::NodeState::Started);
  ASSERT_NE(node->Top(), nullptr) << "AddDevice attaches a function device to the PDO";
  EXPECT_EQ(node->Top()->DriverObject, driver);

  std::u16string path = sim::CurrentMachine().Objects().NameOf(node->PhysicalDeviceObject());
  HANDLE handle = win32::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, win32::OPEN_EXISTING, 0);
  ASSERT_NE(handle, win32::INVALID_HANDLE_VALUE) << "open failed with " << std::hex << win32::LastNtStatus();
  DWORD returned = 0;
  EXPECT_FALSE(win32::DeviceIoControl(handle, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x7FF, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                      nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(win32::LastNtStatus(), unknownControlCode);
  EXPECT_TRUE(win32::CloseHandle(handle));

  PDEVICE_OBJECT pdo = node->PhysicalDeviceObject();
  EXPECT_TRUE(sim::CurrentMachine().Pnp().RemoveDevice(node));
  EXPECT_EQ(node->State(), sim::NodeState::Removed);
  EXPECT_EQ(sim::CurrentMachine().Pnp().NodeOfPdo(pdo), nullptr) << "a removed node is no longer in the tree";
}

TEST(DriverSkeletons, BothDriversShareOneMachineAndLeaveNothingBehind) {
  sim::Machine machine;
  sim::PnpManager& pnp = machine.Pnp();
  pnp.AddService({u"tolvane", TolvaneDriverEntry});
  pnp.AddService({u"merrow", MerrowDriverEntry});
  pnp.Bind({u"ROOT\\TOLVANE", u"tolvane"});
  pnp.Bind({u"USB\\VID_5E1A&PID_0C01", u"merrow"});
  // A port is named at start from its PortName value.
  sim::DeviceNode* port = pnp.AddRootDevice(
      {u"ROOT\\PORTS\\0000", {u"ROOT\\TOLVANE"}, {{u"PortName", sim::RegistryValue::String(u"COM7")}}, true});
  sim::usb::HostController usb;
  int adapterPort = usb.Plug(std::make_shared<sim::usb::SerialAdapter>());
  pnp.WaitIdle();
  sim::DeviceNode* pipe = pnp.NodeOfPdo(usb.Pdo(adapterPort));
  ASSERT_NE(port, nullptr);
  ASSERT_NE(pipe, nullptr);
  PDRIVER_OBJECT tolvane = pnp.LoadedDriver(u"tolvane");
  PDRIVER_OBJECT merrow = pnp.LoadedDriver(u"merrow");
  ASSERT_NE(tolvane, nullptr);
  ASSERT_NE(merrow, nullptr);
  EXPECT_NE(tolvane->DriverExtension->AddDevice, nullptr);
  EXPECT_NE(merrow->DriverExtension->AddDevice, nullptr);
  // A major function neither driver handles keeps the I/O manager's default.
  EXPECT_EQ(tolvane->MajorFunction[IRP_MJ_QUERY_INFORMATION], merrow->MajorFunction[IRP_MJ_QUERY_INFORMATION]);

  EXPECT_EQ(pipe->State(), sim::NodeState::Started);
  EXPECT_EQ(pipe->Top()->DriverObject, merrow);
  EXPECT_TRUE(pnp.RemoveDevice(pipe));
  UseAndRemove(port, tolvane, STATUS_NOT_SUPPORTED);
  // Each driver unloaded with its last device (stopping the test on any leak or residue).
  EXPECT_EQ(pnp.LoadedDriver(u"tolvane"), nullptr);
  EXPECT_EQ(pnp.LoadedDriver(u"merrow"), nullptr);
  EXPECT_TRUE(machine.Drivers().empty());
}

}  // namespace

// Both drivers linked into one program, loaded on one machine, each given a
// device node, started, opened, removed and unloaded without a verifier stop.
#include <gtest/gtest.h>

#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/pnproot.h"
#include "sim/win32/win32.h"

extern "C" NTSTATUS NTAPI TolvaneDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);
extern "C" NTSTATUS NTAPI MerrowDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace {

void RunDeviceNode(PDRIVER_OBJECT driver, NTSTATUS unknownControlCode) {
  PDEVICE_OBJECT pdo = sim::CreateRootPdo();
  ASSERT_EQ(sim::CallAddDevice(driver, pdo), STATUS_SUCCESS);
  ASSERT_NE(pdo->AttachedDevice, nullptr) << "AddDevice attaches a function device to the PDO";
  EXPECT_EQ(pdo->AttachedDevice->DriverObject, driver);
  EXPECT_EQ(sim::SendPnpRequest(pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);

  std::u16string path = sim::CurrentMachine().Objects().NameOf(pdo);
  HANDLE handle = win32::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, win32::OPEN_EXISTING, 0);
  ASSERT_NE(handle, win32::INVALID_HANDLE_VALUE) << "open failed with " << std::hex << win32::LastNtStatus();
  DWORD returned = 0;
  EXPECT_FALSE(win32::DeviceIoControl(handle, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x7FF, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                      nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(win32::LastNtStatus(), unknownControlCode);
  EXPECT_TRUE(win32::CloseHandle(handle));

  EXPECT_EQ(sim::SendPnpRequest(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(pdo->AttachedDevice, nullptr) << "removal detaches and deletes the function device";
  sim::DeleteRootPdo(pdo);
}

TEST(DriverSkeletons, BothDriversShareOneMachineAndLeaveNothingBehind) {
  sim::Machine machine;
  PDRIVER_OBJECT tolvane = machine.LoadDriver(u"tolvane", TolvaneDriverEntry);
  PDRIVER_OBJECT merrow = machine.LoadDriver(u"merrow", MerrowDriverEntry);
  ASSERT_NE(tolvane, nullptr);
  ASSERT_NE(merrow, nullptr);
  EXPECT_NE(tolvane->DriverExtension->AddDevice, nullptr);
  EXPECT_NE(merrow->DriverExtension->AddDevice, nullptr);
  // A major function neither driver handles keeps the I/O manager's default.
  EXPECT_EQ(tolvane->MajorFunction[IRP_MJ_QUERY_INFORMATION], merrow->MajorFunction[IRP_MJ_QUERY_INFORMATION]);

  RunDeviceNode(merrow, STATUS_INVALID_PARAMETER);
  RunDeviceNode(tolvane, STATUS_NOT_SUPPORTED);
  machine.UnloadDriver(tolvane);  // stops the test on any leak or residue
  machine.UnloadDriver(merrow);
}

}  // namespace

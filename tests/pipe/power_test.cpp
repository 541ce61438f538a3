// merrow's power handling as the device's power policy owner: system sleep
// and wake with the device power state recorded and reported, device
// set-power requests, wait-wake, and a device power request the power
// manager refuses while a system request is held.
#include "tests/pipe/pipe_kit.h"

#include <atomic>

#include "sim/kernel/faultrun.h"
#include "sim/kernel/power.h"

namespace pipetest {
namespace {

struct PowerAnswer {
  KEVENT done;
  IO_STATUS_BLOCK status{};
};

void NTAPI PowerAnswered(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  auto answer = (PowerAnswer*)context;
  answer->status = *status;
  KeSetEvent(&answer->done, IO_NO_INCREMENT, FALSE);
}

// A power request for the adapter's stack, as the power manager sends one.
NTSTATUS RequestPower(PipeRig& rig, UCHAR minor, POWER_STATE state) {
  PowerAnswer answer;
  KeInitializeEvent(&answer.done, NotificationEvent, FALSE);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  rig.AsDriver([&] {
    status = PoRequestPowerIrp(rig.Extension()->PhysicalDeviceObject, minor, state, PowerAnswered, &answer, nullptr);
  });
  if (status != STATUS_PENDING) return status;
  KeWaitForSingleObject(&answer.done, Executive, KernelMode, FALSE, nullptr);
  return answer.status.Status;
}

POWER_STATE Device(DEVICE_POWER_STATE state) {
  POWER_STATE power;
  power.DeviceState = state;
  return power;
}

TEST(PipePower, SleepPutsTheDeviceInItsStateForS3AndWakeBringsItBack) {
  PipeRig rig;
  PPIPE_DEVICE_EXTENSION ext = rig.Extension();
  sim::PowerManager& power = rig.Machine().Power();
  DEVICE_POWER_STATE forS3 = ext->DeviceCapabilities.DeviceState[PowerSystemSleeping3];
  ASSERT_GT(forS3, PowerDeviceD0);
  ASSERT_TRUE(power.Sleep(PowerSystemSleeping3));
  EXPECT_EQ(ext->DevicePowerState, forS3);
  EXPECT_EQ(power.ReportedDeviceState(rig.Device()), forS3) << "reported with PoSetPowerState";
  EXPECT_EQ(ext->PendingSystemPowerIrp, nullptr) << "the system request went on";
  power.Wake();
  EXPECT_EQ(ext->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(power.ReportedDeviceState(rig.Device()), PowerDeviceD0);
  EXPECT_EQ(ext->PendingIoCount, 1) << "every power request left the driver";
  EXPECT_TRUE(CanAcceptRequests(rig.Device()));
}

TEST(PipePower, DeviceSetPowerRecordsDownAtOnceAndUpAfterTheLowerDrivers) {
  PipeRig rig;
  PPIPE_DEVICE_EXTENSION ext = rig.Extension();
  EXPECT_EQ(RequestPower(rig, IRP_MN_SET_POWER, Device(PowerDeviceD2)), STATUS_SUCCESS);
  EXPECT_EQ(ext->DevicePowerState, PowerDeviceD2);
  EXPECT_EQ(rig.Machine().Power().ReportedDeviceState(rig.Device()), PowerDeviceD2);
  EXPECT_EQ(RequestPower(rig, IRP_MN_SET_POWER, Device(PowerDeviceD0)), STATUS_SUCCESS);
  EXPECT_EQ(ext->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(rig.Machine().Power().ReportedDeviceState(rig.Device()), PowerDeviceD0);
  EXPECT_EQ(ext->PendingIoCount, 1);
}

TEST(PipePower, WaitWakeInD0IsRefused) {
  PipeRig rig;
  EXPECT_EQ(RequestPower(rig, IRP_MN_WAIT_WAKE, Device(PowerDeviceD0)), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(rig.Extension()->PendingIoCount, 1);
}

TEST(PipePower, WaitWakeRefusedByTheBusStillPowersTheDeviceUp) {
  PipeRig rig;  // the default adapter has no remote wakeup
  PPIPE_DEVICE_EXTENSION ext = rig.Extension();
  ASSERT_EQ(RequestPower(rig, IRP_MN_SET_POWER, Device(PowerDeviceD2)), STATUS_SUCCESS);
  EXPECT_EQ(RequestPower(rig, IRP_MN_WAIT_WAKE, Device(PowerDeviceD2)), STATUS_NOT_SUPPORTED) << "the bus's answer";
  EXPECT_EQ(ext->DevicePowerState, PowerDeviceD0) << "the wait ended with a power-up all the same";
  EXPECT_EQ(ext->PendingIoCount, 1);
}

TEST(PipePower, WaitWakeFromD2EndsWithTheDevicesRemoteWakeupAndPowersItUp) {
  PipeConfig config;
  config.adapter.remoteWakeup = true;
  PipeRig rig(config);
  PPIPE_DEVICE_EXTENSION ext = rig.Extension();
  ASSERT_EQ(ext->DeviceCapabilities.DeviceWake, PowerDeviceD2);
  ASSERT_EQ(RequestPower(rig, IRP_MN_SET_POWER, Device(PowerDeviceD2)), STATUS_SUCCESS);
  std::atomic<NTSTATUS> woken = STATUS_PENDING;
  sim::Thread waiter("wait-wake", [&] { woken = RequestPower(rig, IRP_MN_WAIT_WAKE, Device(PowerDeviceD2)); });
  LARGE_INTEGER step{.QuadPart = -10 * 1000 * 10};
  KeDelayExecutionThread(KernelMode, FALSE, &step);
  EXPECT_EQ(woken.load(), STATUS_PENDING) << "held by the bus until the device signals";
  EXPECT_EQ(ext->DevicePowerState, PowerDeviceD2);
  ASSERT_TRUE(rig.Usb().RemoteWakeup(rig.Port()));
  waiter.Join();
  EXPECT_EQ(woken.load(), STATUS_SUCCESS);
  EXPECT_EQ(ext->DevicePowerState, PowerDeviceD0) << "the wake was followed by a power-up";
  EXPECT_EQ(ext->PendingIoCount, 1);
}

// Every system set-power request of the log ended with success: a driver may
// fail a query, never a set.
bool EverySystemSetSucceeded(sim::PowerManager& power) {
  for (const std::string& line : power.Log())
    if (line.rfind("S", 0) == 0 && line.find("SET_POWER") != std::string::npos &&
        line.find("STATUS_SUCCESS") == std::string::npos) {
      std::fprintf(stderr, "%s\n", line.c_str());
      return false;
    }
  return true;
}

// A system sleep in which the power manager refuses merrow's device power
// request (its allocation fails): the held system request still goes on
// with success, never left held, and the machine can still wake.
bool SleepWithRefusals(const sim::MachineOptions& options) {
  PipeRig rig({}, options);
  if (!rig.Extension()) return true;  // the start failed cleanly
  PPIPE_DEVICE_EXTENSION ext = rig.Extension();
  if (!rig.Machine().Power().Sleep(PowerSystemSleeping3) || ext->PendingSystemPowerIrp) return false;
  rig.Machine().Power().Wake();
  return ext->PendingSystemPowerIrp == nullptr && ext->DevicePowerState == PowerDeviceD0 && ext->PendingIoCount == 1 &&
         EverySystemSetSucceeded(rig.Machine().Power());
}

TEST(PipePower, RefusedDevicePowerRequestStillPassesTheSystemRequestOn) {
  sim::MachineOptions options;
  options.faults.driver = "merrow";
  sim::FaultRunReport report = sim::RunFailingEachSite(SleepWithRefusals, options);
  EXPECT_TRUE(report.AllSurvived()) << report.Describe();
  bool refused = false;
  for (const sim::SiteOutcome& site : report.sites) refused |= site.routine.find("SystemSetPower") != std::string::npos;
  EXPECT_TRUE(refused) << "a run had PoRequestPowerIrp fail\n" << report.Describe();
}

}  // namespace
}  // namespace pipetest

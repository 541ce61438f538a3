// The power manager: power IRPs (PoCallDriver, PoStartNextPowerIrp,
// PoRequestPowerIrp, PoSetPowerState) and system sleep and wake across every
// device stack in NT's order.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/ddk/ntddk.h"

namespace sim {

class PowerRecords;

class PowerManager {
 public:
  PowerManager();
  ~PowerManager();

  // System sleep: IRP_MN_QUERY_POWER for `state` to every device stack; if a
  // driver fails the query, the sleep is abandoned as NT does and false is
  // returned. Otherwise IRP_MN_SET_POWER for `state` to every stack (the power
  // policy owners' device power requests happen in between). Returns when done.
  bool Sleep(SYSTEM_POWER_STATE state);
  // Wake: IRP_MN_SET_POWER for PowerSystemWorking to every stack.
  void Wake();
  SYSTEM_POWER_STATE SystemState() const;

  // The device power state a driver last reported with PoSetPowerState.
  DEVICE_POWER_STATE ReportedDeviceState(PDEVICE_OBJECT device) const;

  // A log of the power requests sent, in order, for tests and the simulator:
  // "S3 QUERY_POWER -> \Device\00000001: STATUS_SUCCESS", ...
  std::vector<std::string> Log() const;

  // Drops a device's records; IoDeleteDevice calls it (NT keeps them in the
  // device object), so the PnP manager's removal needs nothing more.
  void Forget(PDEVICE_OBJECT device);

  // What the power IRP routines keep per device and per IRP (sim/kernel/powerirp.h).
  PowerRecords& Records();

  // For tests of drivers facing power requests out of the usual order: sends
  // one system power request (IRP_MN_QUERY_POWER or IRP_MN_SET_POWER for
  // `state`) to the stack of `pdo` alone, as the power manager would, and
  // returns its status. The system state the manager keeps does not change.
  NTSTATUS SendSystemRequestForTest(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state);

  // For tests of stacks built without the Plug and Play manager: Sleep and
  // Wake walk these PDOs' stacks (parents before children) instead of the
  // device nodes.
  void SetStacksForTest(std::vector<PDEVICE_OBJECT> pdos);

 private:
  std::vector<PDEVICE_OBJECT> Stacks();

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim

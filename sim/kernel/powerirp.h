// Power IRPs as Windows 2000 and XP route them: PoCallDriver hands a power IRP
// to a device one at a time per kind (one system IRP and one device set-power
// IRP per device object) until that device's driver calls PoStartNextPowerIrp,
// and at the IRQL the device can take (PASSIVE_LEVEL when it is
// DO_POWER_PAGABLE, DISPATCH_LEVEL otherwise). These are the power manager's
// records for that, for PoSetPowerState and for its request log.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sim/ddk/ntddk.h"

namespace sim {

class PowerRecords {
 public:
  // PoCallDriver: hands `irp` to `device` at once, or parks it (returning
  // STATUS_PENDING) until the device is free for it or until a worker thread
  // can call a pagable device at PASSIVE_LEVEL.
  NTSTATUS Call(PDEVICE_OBJECT device, PIRP irp);
  // PoStartNextPowerIrp: the device at the IRP's current location is done with
  // it; the next IRP waiting for that device goes on.
  void StartNext(PIRP irp);
  // IoCompleteRequest by the driver at the current location, and the IRP
  // reaching the top: each driver must have called PoStartNextPowerIrp by then.
  void CheckCompleting(PIRP irp);
  void CheckFinished(PIRP irp);

  // PoSetPowerState: records the state and returns the one before.
  POWER_STATE Report(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state);
  DEVICE_POWER_STATE ReportedDeviceState(PDEVICE_OBJECT device);
  void Forget(PDEVICE_OBJECT device);

  void AddLog(std::string line);
  std::vector<std::string> Log();

 private:
  enum Queue { kSystemQueue, kDeviceSetQueue, kQueues };
  struct DeviceRecord {
    DEVICE_POWER_STATE deviceState = PowerDeviceUnspecified;
    SYSTEM_POWER_STATE systemState = PowerSystemUnspecified;
    // Query and set IRPs the device received, whose PoStartNextPowerIrp is
    // still owed, with the queue each occupies (kQueues: none).
    std::vector<std::pair<PIRP, int>> held;
    std::deque<PIRP> waiting[kQueues];
  };
  static int QueueOf(const IO_STACK_LOCATION& stack);
  bool HoldsLocked(PDEVICE_OBJECT device, PIRP irp);
  void CheckGivenUp(PIRP irp);

  std::mutex mutex_;
  std::unordered_map<PDEVICE_OBJECT, DeviceRecord> devices_;
  std::vector<std::string> log_;
};

// The top of the stack `device` is in.
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);

// A power IRP for `top`, as the power manager allocates it: IoStatus.Status
// STATUS_NOT_SUPPORTED, the first stack location zeroed with IRP_MJ_POWER and
// `minor`. The IRP tracker finishes it; `completed` runs when it completed to
// the top, before it is freed.
PIRP AllocatePowerIrp(PDEVICE_OBJECT top, UCHAR minor, std::function<void(PIRP)> completed);

// Names for the log: "S3", "D0", "QUERY_POWER", a device's name.
std::string PowerStateName(POWER_STATE_TYPE type, POWER_STATE state);
const char* PowerMinorName(UCHAR minor);
std::string DeviceLabel(PDEVICE_OBJECT device);

}  // namespace sim

// tolvane: IRP_MJ_POWER. The port keeps no power state of its own: every
// power request goes down the port's stack.
#include "port/routines.h"

NTSTATUS NTAPI PortPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(PortExtension(DeviceObject)->LowerDeviceObject, Irp);
}

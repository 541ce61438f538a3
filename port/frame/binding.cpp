// tolvane: binding a port to an instance of the pipe driver, whose device
// interface arrives through the driver-wide notification, and the opening
// and closing of that target's pipes. PASSIVE_LEVEL throughout.
#include "port/routines.h"

// Arrivals of the pipe driver's interface, in a system worker thread. Always
// succeeds. Arrivals are not bound to ports yet: every port stays unbound.
NTSTATUS NTAPI InterfaceArrivalCallback(PVOID NotificationStructure, PVOID Context) {
  return STATUS_SUCCESS;
}

// Whether the interface link `SymbolicLinkName` is the port's target: its
// uppercased text contains TargetMatch. An empty TargetMatch (no usable
// TargetDevice value) matches nothing, so such a port never takes a device
// meant for another.
BOOLEAN MatchTarget(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING SymbolicLinkName) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if (extension->TargetMatch[0] == 0) return FALSE;
  ULONG size = SymbolicLinkName->MaximumLength + sizeof(WCHAR);
  PWCHAR link = (PWCHAR)ExAllocatePoolWithTag(PagedPool, size, MATCH_POOL_TAG);
  if (!link) return FALSE;
  RtlZeroMemory(link, size);
  USHORT length = SymbolicLinkName->Length <= SymbolicLinkName->MaximumLength ? SymbolicLinkName->Length
                                                                              : SymbolicLinkName->MaximumLength;
  RtlCopyMemory(link, SymbolicLinkName->Buffer, length);
  _wcsupr(link);
  BOOLEAN found = wcsstr(link, extension->TargetMatch) != NULL;
  ExFreePoolWithTag(link, MATCH_POOL_TAG);
  return found;
}

// Opens (IRP_MJ_CREATE) or closes (IRP_MJ_CLOSE) the target's pipes in the
// order output, input, status. Pipes exist only on a bound target; a port
// that was never bound has none to open or close.
NTSTATUS PipeOpenClose(PPORT_EXTENSION Extension, UCHAR MajorFunction) {
  if (!Extension->TargetDeviceObject) return STATUS_NO_SUCH_DEVICE;
  return STATUS_SUCCESS;
}

// One Plug and Play request as the PnP manager sends it, and the verifier's
// rules that can be judged from its answer: drivers must pass down what they
// do not handle without touching its status, must never fail a request with
// STATUS_NOT_SUPPORTED, and must not fail removal or a cancellation.
#include "sim/kernel/iomanager.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/pnpinternal.h"
#include "sim/kernel/trace.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"

namespace sim {

namespace {

// Requests drivers must complete with success (VERIFIER.md: PnpRemoveContract).
bool MustSucceed(UCHAR minor) {
  return minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_CANCEL_REMOVE_DEVICE ||
         minor == IRP_MN_CANCEL_STOP_DEVICE;
}

void CheckAnswer(UCHAR minor, NTSTATUS status, const PdoAnswer& pdo, const std::string& what) {
  const char* name = PnpMinorName(minor);
  if (MustSucceed(minor) && !NT_SUCCESS(status))
    VerifierStop(Rule::PnpRemoveContract, nullptr, "%s completed with %s on %s; drivers must not fail it", name,
                 StatusName(status).c_str(), what.c_str());
  if (status != STATUS_NOT_SUPPORTED) return;
  if (!pdo.reached)
    VerifierStop(Rule::PnpForwarding, nullptr,
                 "%s was completed with STATUS_NOT_SUPPORTED above the PDO on %s: a driver failed it with "
                 "STATUS_NOT_SUPPORTED instead of passing it down untouched",
                 name, what.c_str());
  if (pdo.status && *pdo.status != STATUS_NOT_SUPPORTED)
    VerifierStop(Rule::PnpForwarding, nullptr,
                 "%s left the PDO with %s but reached the PnP manager with STATUS_NOT_SUPPORTED on %s: a driver "
                 "changed its status on the way up",
                 name, StatusName(*pdo.status).c_str(), what.c_str());
}

PDEVICE_OBJECT BottomOf(PDEVICE_OBJECT device) {
  while (device->DeviceObjectExtension->AttachedTo) device = device->DeviceObjectExtension->AttachedTo;
  return device;
}

// Builds the request NT's PnP manager builds: a thread IRP whose status starts
// as STATUS_NOT_SUPPORTED, sent to the top of the stack.
PIRP BuildRequest(PDEVICE_OBJECT top, UCHAR minor, const IO_STACK_LOCATION* parameters) {
  PIRP irp = AllocateThreadIrp(top, nullptr, {});
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  if (parameters) *stack = *parameters;
  else std::memset(stack, 0, sizeof *stack);
  stack->MajorFunction = IRP_MJ_PNP;
  stack->MinorFunction = minor;
  stack->CompletionRoutine = nullptr;
  stack->Context = nullptr;
  stack->Control = 0;
  return irp;
}

struct Sent {
  PnpAnswer answer;
  PdoAnswer pdo;
};

Sent SendAndWait(PDEVICE_OBJECT top, PIRP irp) {
  ExpectPdoAnswer(irp);
  IO_STATUS_BLOCK iosb{};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  NTSTATUS status = CallAndWait(top, irp, &event, &iosb);  // a request failed at once writes no status block
  return Sent{{status, iosb.Information}, TakePdoAnswer(irp)};
}

}  // namespace

PnpAnswer SendPnpRequest(PDEVICE_OBJECT pdo, UCHAR minor, const IO_STACK_LOCATION* parameters, const std::string& what) {
  RequireIrqlPassive("the Plug and Play manager");
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  Sent sent = SendAndWait(top, BuildRequest(top, minor, parameters));
  ObDereferenceObject(top);
  CheckAnswer(minor, sent.answer.status, sent.pdo, what);
  return sent.answer;
}

NTSTATUS QueryTargetDevice(PFILE_OBJECT file, PDEVICE_OBJECT* pdo) {
  PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
  ObReferenceObject(top);
  IO_STACK_LOCATION parameters{};
  parameters.Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
  parameters.FileObject = file;
  Sent sent = SendAndWait(top, BuildRequest(top, IRP_MN_QUERY_DEVICE_RELATIONS, &parameters));
  ObDereferenceObject(top);
  PDEVICE_OBJECT bottom = BottomOf(file->DeviceObject);
  DeviceNode* node = CurrentMachine().Pnp().NodeOfPdo(bottom);
  if (!NT_SUCCESS(sent.answer.status) && !node) return sent.answer.status;  // not a Plug and Play stack
  // Only the bus driver answers TargetDeviceRelation; the others pass it on.
  auto relations = (PDEVICE_RELATIONS)sent.answer.information;
  bool untouched = sent.pdo.reached && NT_SUCCESS(sent.answer.status) && relations && relations->Count == 1 &&
                   relations->Objects[0] == bottom;
  if (!untouched)
    VerifierStop(Rule::PnpForwarding, nullptr,
                 "IRP_MN_QUERY_DEVICE_RELATIONS/TargetDeviceRelation on the stack of %s came back with %s%s: function "
                 "and filter drivers must pass it to the PDO untouched",
                 Narrow(CurrentMachine().Objects().NameOf(bottom)).c_str(), StatusName(sent.answer.status).c_str(),
                 sent.pdo.reached ? " and another answer than the PDO's" : " without reaching the PDO");
  *pdo = relations->Objects[0];
  ExFreePool(relations);
  return STATUS_SUCCESS;
}

}  // namespace sim

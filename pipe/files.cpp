// merrow: pipe files. A client opens the interface's link followed by a pipe
// name (\PIPExx, \EPxx or \EAxx) and gets a file bound to one pipe of the
// current configuration; an empty name gives a handle to the device itself.
// Each pipe is open through one file at a time. Create and close run at
// PASSIVE_LEVEL in the caller's thread and take no lock.
#include "pipe/routines.h"

// How a pipe name selects its pipe.
typedef enum _PIPE_NAME_FORM {
  PipeNameNone,      // not a pipe name
  PipeNameEndpoint,  // \EPxx: endpoint number, direction ignored
  PipeNameAddress,   // \EAxx: endpoint address, bit 7 set for IN
  PipeNameIndex,     // \PIPExx: index into the pipe table
} PIPE_NAME_FORM;

// TRUE when Name has exactly Chars characters and starts with Prefix,
// compared without regard to case.
static BOOLEAN NameHasForm(PCUNICODE_STRING Name, PCWSTR Prefix, ULONG Chars) {
  if (Name->Length != Chars * sizeof(WCHAR)) return FALSE;
  UNICODE_STRING prefix;
  RtlInitUnicodeString(&prefix, Prefix);
  return RtlPrefixUnicodeString(&prefix, Name, TRUE);
}

// Converts the two characters after the prefix as RtlUnicodeStringToInteger
// does with base 16: blanks and a sign are taken, no digit at all gives 0.
static ULONG NameNumber(PCUNICODE_STRING Name) {
  UNICODE_STRING digits;
  digits.Buffer = Name->Buffer + Name->Length / sizeof(WCHAR) - 2;
  digits.Length = digits.MaximumLength = 2 * sizeof(WCHAR);
  ULONG value = 0;
  RtlUnicodeStringToInteger(&digits, 16, &value);
  return value;
}

static PIPE_NAME_FORM ParsePipeName(PCUNICODE_STRING Name, PULONG Number) {
  PIPE_NAME_FORM form = PipeNameNone;
  if (NameHasForm(Name, L"" PIPE_NAME_PREFIX_ENDPOINT, PIPE_NAME_ENDPOINT_CHARS)) {
    form = PipeNameEndpoint;
  } else if (NameHasForm(Name, L"" PIPE_NAME_PREFIX_ADDRESS, PIPE_NAME_ENDPOINT_CHARS)) {
    form = PipeNameAddress;
  } else if (NameHasForm(Name, L"" PIPE_NAME_PREFIX_INDEX, PIPE_NAME_INDEX_CHARS)) {
    form = PipeNameIndex;
  }
  if (form != PipeNameNone) *Number = NameNumber(Name);
  return form;
}

// The pipe-table entry a name selects in the current configuration, or NULL.
static PPIPE_TABLE_ENTRY FindPipe(PDEVICE_OBJECT DeviceObject, PCUNICODE_STRING Name) {
  ULONG number = 0;
  PIPE_NAME_FORM form = ParsePipeName(Name, &number);
  ULONG count = PipeCount(DeviceObject);
  if (form == PipeNameNone || count == 0) return NULL;
  PPIPE_TABLE_ENTRY table = PipeExtension(DeviceObject)->ConfigRecord->PipeTable;
  if (form == PipeNameIndex) return number < count ? &table[number] : NULL;
  UCHAR wanted = (UCHAR)number;
  for (ULONG i = 0; i < count; i++) {
    UCHAR address = table[i].PipeInfo->EndpointAddress;
    if (form == PipeNameAddress ? address == wanted : (address & 0x7F) == wanted) return &table[i];
  }
  return NULL;
}

static NTSTATUS OpenPipeFile(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject) {
  if (FileObject->FileName.Length == 0) return STATUS_SUCCESS;  // a device handle
  PPIPE_TABLE_ENTRY pipe = FindPipe(DeviceObject, &FileObject->FileName);
  // Test and set in one step: of two opens of one pipe at once, one wins.
  if (!pipe || InterlockedCompareExchange((volatile LONG*)&pipe->PipeInfo->PipeFlags, 1, 0) != 0)
    return STATUS_INVALID_HANDLE;
  pipe->StatisticsEnabled = FALSE;
  BindPipeFile(DeviceObject, FileObject, pipe);
  return STATUS_SUCCESS;
}

// A file whose configuration was released (stop, removal) is only unbound:
// its entry is gone, and the pipes of a later configuration start closed.
static NTSTATUS ClosePipeFile(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject) {
  if (!FileObject->FsContext) return STATUS_INVALID_HANDLE;
  PPIPE_TABLE_ENTRY pipe = PipeFromFile(DeviceObject, FileObject);
  if (!pipe) {
    UnbindPipeFile(FileObject);
    return STATUS_INVALID_HANDLE;
  }
  if (!pipe->PipeInfo->PipeFlags) return STATUS_INVALID_HANDLE;
  pipe->PipeInfo->PipeFlags = 0;
  UnbindPipeFile(FileObject);
  return STATUS_SUCCESS;
}

// Pipe files can still be opened after a surprise removal, until the
// removal itself; not before start nor after query-remove or query-stop.
static BOOLEAN CanUseFiles(PDEVICE_OBJECT DeviceObject) {
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(DeviceObject);
  return !ReadShared(extension->RemoveStarted) &&
         (CanAcceptRequests(DeviceObject) || ReadShared(extension->SurpriseRemoved));
}

NTSTATUS NTAPI PipeCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IncrementIoCount(DeviceObject);
  NTSTATUS status = STATUS_DELETE_PENDING;
  if (CanUseFiles(DeviceObject)) status = OpenPipeFile(DeviceObject, IoGetCurrentIrpStackLocation(Irp)->FileObject);
  CompletePipeRequest(Irp, status, 0);
  DecrementIoCount(DeviceObject);
  return status;
}

// A close cannot be refused: the file object goes whatever the answer. So
// its pipe is always let go of, between a query and its cancellation too;
// only once the removal has begun (and may be releasing the configuration)
// is the file merely unbound.
NTSTATUS NTAPI PipeClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IncrementIoCount(DeviceObject);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  NTSTATUS status = STATUS_DELETE_PENDING;
  if (!PipeExtension(DeviceObject)->RemoveStarted) status = ClosePipeFile(DeviceObject, file);
  else UnbindPipeFile(file);
  CompletePipeRequest(Irp, status, 0);
  DecrementIoCount(DeviceObject);
  return status;
}

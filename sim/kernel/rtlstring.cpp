// Placeholder: counted-string routines (being written).
#include "sim/ddk/ntddk.h"
#include "sim/kernel/verifier.h"
using namespace sim;
#define TODO(name) VerifierStop(Rule::KernelStop, nullptr, #name " is not implemented yet")
extern "C" {
void NTAPI RtlInitUnicodeString(PUNICODE_STRING d, PCWSTR s) {
  d->Buffer = (PWSTR)s;
  d->Length = s ? (USHORT)(SimWcslen(s) * 2) : 0;
  d->MaximumLength = s ? (USHORT)(d->Length + 2) : 0;
}
void NTAPI RtlInitAnsiString(PANSI_STRING, PCSTR) { TODO(RtlInitAnsiString); }
NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING, PCWSTR) { TODO(RtlAppendUnicodeToString); }
NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING, PCUNICODE_STRING) { TODO(RtlAppendUnicodeStringToString); }
void NTAPI RtlCopyUnicodeString(PUNICODE_STRING, PCUNICODE_STRING) { TODO(RtlCopyUnicodeString); }
NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING, ULONG, PULONG) { TODO(RtlUnicodeStringToInteger); }
NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG, ULONG, PUNICODE_STRING) { TODO(RtlIntegerToUnicodeString); }
LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING, PCUNICODE_STRING, BOOLEAN) { TODO(RtlCompareUnicodeString); }
BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING, PCUNICODE_STRING, BOOLEAN) { TODO(RtlEqualUnicodeString); }
BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING, PCUNICODE_STRING, BOOLEAN) { TODO(RtlPrefixUnicodeString); }
NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING, PCUNICODE_STRING, BOOLEAN) { TODO(RtlUpcaseUnicodeString); }
WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR) { TODO(RtlUpcaseUnicodeChar); }
void NTAPI RtlFreeUnicodeString(PUNICODE_STRING) { TODO(RtlFreeUnicodeString); }
NTSTATUS NTAPI RtlStringFromGUID(REFGUID, PUNICODE_STRING) { TODO(RtlStringFromGUID); }
}

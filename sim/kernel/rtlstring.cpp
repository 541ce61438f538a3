// Counted strings: UNICODE_STRING and ANSI_STRING as the kernel's run-time
// library keeps them. Lengths are in bytes and never include a terminator;
// a terminator is written only where the buffer has room past Length, so no
// routine here reads beyond Length or writes beyond MaximumLength.
#include <algorithm>
#include <cstring>

#include "sim/ddk/ntddk.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"

using namespace sim;

namespace {

// Strings the kernel allocates for a driver (RtlUpcaseUnicodeString,
// RtlStringFromGUID) come from paged pool, as on NT, under the tag 'Strg', so a
// leak report tells them apart from the driver's own allocations.
constexpr ULONG kStringTag = 'S' | 't' << 8 | 'r' << 16 | 'g' << 24;

// The largest counted strings RtlInit*String describe: a terminator must
// still fit in MaximumLength.
constexpr USHORT kMaxUnicodeLength = 0xFFFC;
constexpr USHORT kMaxAnsiLength = MAXUSHORT - 1;

// The routines NT keeps in pageable code may not run at DISPATCH_LEVEL.
void RequirePageable(const char* routine) { RequireIrqlAtMost(APC_LEVEL, Rule::IrqlPassive, routine); }

// Pool for a string buffer, charged to the calling driver and named by the
// driver's call site (`site`), so leak reports and fault injection point at
// the driver rather than at this file.
PWSTR AllocateStringBuffer(USHORT bytes, const void* site) {
  // An empty string still gets a real buffer: pool refuses zero-byte blocks.
  SIZE_T size = std::max<SIZE_T>(bytes, sizeof(WCHAR));
  return (PWSTR)CurrentMachine().Pool().Allocate(PagedPool, size, kStringTag, site);
}

USHORT Chars(PCUNICODE_STRING s) { return s->Length / sizeof(WCHAR); }

// Writes a terminator after Length when MaximumLength leaves room for one.
void TerminateIfRoom(PUNICODE_STRING s) {
  if (s->Length + sizeof(WCHAR) <= s->MaximumLength) s->Buffer[Chars(s)] = 0;
}

// Appends `bytes` bytes at `source` to `destination`, or changes nothing.
NTSTATUS AppendBytes(PUNICODE_STRING destination, const WCHAR* source, SIZE_T bytes) {
  if (bytes == 0) return STATUS_SUCCESS;
  if (destination->Length + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove((PUCHAR)destination->Buffer + destination->Length, source, bytes);
  destination->Length = (USHORT)(destination->Length + bytes);
  TerminateIfRoom(destination);
  return STATUS_SUCCESS;
}

// -1 when `c` is not a digit of `base`.
int DigitValue(WCHAR c, ULONG base) {
  int value = -1;
  if (c >= L'0' && c <= L'9') value = c - L'0';
  else if (c >= L'a' && c <= L'z') value = c - L'a' + 10;
  else if (c >= L'A' && c <= L'Z') value = c - L'A' + 10;
  return value >= 0 && (ULONG)value < base ? value : -1;
}

// Base 0 reads a 0x, 0o or 0b prefix at `*i` (lowercase, as documented) and
// steps over it; otherwise the number is decimal.
ULONG BaseFromPrefix(const WCHAR* s, USHORT n, USHORT* i) {
  if (*i + 1 < n && s[*i] == L'0') {
    ULONG base = s[*i + 1] == L'x' ? 16 : s[*i + 1] == L'o' ? 8 : s[*i + 1] == L'b' ? 2 : 0;
    if (base) {
      *i += 2;
      return base;
    }
  }
  return 10;
}

bool IsConversionBase(ULONG base) { return base == 2 || base == 8 || base == 10 || base == 16; }

// Case-folded comparison of the first `n` characters; 0 when they match.
LONG CompareChars(const WCHAR* a, const WCHAR* b, USHORT n, BOOLEAN caseInsensitive) {
  for (USHORT i = 0; i < n; ++i) {
    WCHAR x = caseInsensitive ? UpcaseChar(a[i]) : a[i];
    WCHAR y = caseInsensitive ? UpcaseChar(b[i]) : b[i];
    if (x != y) return (LONG)x - (LONG)y;
  }
  return 0;
}

const char kHexDigits[] = "0123456789ABCDEF";

// Writes `value` as `digits` uppercase hex digits at `out`.
WCHAR* PutHex(WCHAR* out, ULONG value, int digits) {
  for (int i = digits - 1; i >= 0; --i) *out++ = kHexDigits[(value >> (4 * i)) & 0xF];
  return out;
}

}  // namespace

extern "C" {

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = (PWSTR)SourceString;
  if (!SourceString) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  SIZE_T bytes = std::min<SIZE_T>(SimWcslen(SourceString) * sizeof(WCHAR), kMaxUnicodeLength);
  DestinationString->Length = (USHORT)bytes;
  DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
}

void NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  DestinationString->Buffer = (PCHAR)SourceString;
  if (!SourceString) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  SIZE_T bytes = std::min<SIZE_T>(std::strlen(SourceString), kMaxAnsiLength);
  DestinationString->Length = (USHORT)bytes;
  DestinationString->MaximumLength = (USHORT)(bytes + 1);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (!Source) return STATUS_SUCCESS;
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, Source);
  return AppendBytes(Destination, source.Buffer, source.Length);
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  return AppendBytes(Destination, Source->Buffer, Source->Length);
}

void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (!SourceString) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = std::min(SourceString->Length, DestinationString->MaximumLength);
  std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  TerminateIfRoom(DestinationString);
}

// Blanks (any character up to ' ') and a sign may lead; the number ends at
// the first character that is not a digit of the base, and a string without
// digits is 0. Overflow wraps, as on NT. Only an empty string fails.
NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  RequirePageable("RtlUnicodeStringToInteger");
  if (Base != 0 && !IsConversionBase(Base)) return STATUS_INVALID_PARAMETER;
  const WCHAR* s = String->Buffer;
  USHORT n = Chars(String);
  if (n == 0) return STATUS_INVALID_PARAMETER;
  USHORT i = 0;
  while (i < n && s[i] <= L' ') ++i;
  bool negative = false;
  if (i < n && (s[i] == L'-' || s[i] == L'+')) negative = s[i++] == L'-';
  ULONG base = Base ? Base : BaseFromPrefix(s, n, &i);
  ULONG value = 0;
  for (int digit; i < n && (digit = DigitValue(s[i], base)) >= 0; ++i) value = value * base + (ULONG)digit;
  *Value = negative ? 0u - value : value;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  RequirePageable("RtlIntegerToUnicodeString");
  if (Base == 0) Base = 10;
  if (!IsConversionBase(Base)) return STATUS_INVALID_PARAMETER;
  WCHAR digits[32];
  int n = 0;
  do {
    digits[n++] = kHexDigits[Value % Base];
    Value /= Base;
  } while (Value);
  if ((SIZE_T)n * sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < n; ++i) String->Buffer[i] = digits[n - 1 - i];
  String->Length = (USHORT)(n * sizeof(WCHAR));
  TerminateIfRoom(String);
  return STATUS_SUCCESS;
}

// The difference of the first characters that differ, else of the lengths.
LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  RequirePageable("RtlCompareUnicodeString");
  USHORT common = std::min(Chars(String1), Chars(String2));
  LONG difference = CompareChars(String1->Buffer, String2->Buffer, common, CaseInSensitive);
  return difference ? difference : (LONG)String1->Length - (LONG)String2->Length;
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  RequirePageable("RtlEqualUnicodeString");
  return String1->Length == String2->Length &&
         CompareChars(String1->Buffer, String2->Buffer, Chars(String1), CaseInSensitive) == 0;
}

// TRUE when String1 is a prefix of String2.
BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  RequirePageable("RtlPrefixUnicodeString");
  return String1->Length <= String2->Length &&
         CompareChars(String1->Buffer, String2->Buffer, Chars(String1), CaseInSensitive) == 0;
}

// Upcases into the caller's buffer (which may be the source's) or into a new
// one from pool; either way no terminator is added, as on NT.
NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  RequirePageable("RtlUpcaseUnicodeString");
  USHORT bytes = SourceString->Length;
  if (AllocateDestinationString) {
    PWSTR buffer = AllocateStringBuffer(bytes, __builtin_return_address(0));
    if (!buffer) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = bytes;
  } else if (DestinationString->MaximumLength < bytes) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (USHORT i = 0; i < Chars(SourceString); ++i)
    DestinationString->Buffer[i] = UpcaseChar(SourceString->Buffer[i]);
  DestinationString->Length = bytes;
  return STATUS_SUCCESS;
}

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
  RequirePageable("RtlUpcaseUnicodeChar");
  return UpcaseChar(SourceCharacter);
}

void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  RequirePageable("RtlFreeUnicodeString");
  if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
  *UnicodeString = UNICODE_STRING{};
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in a pool buffer the caller frees
// with RtlFreeUnicodeString.
NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
  RequirePageable("RtlStringFromGUID");
  constexpr USHORT kChars = 38;
  PWSTR buffer = AllocateStringBuffer((kChars + 1) * sizeof(WCHAR), __builtin_return_address(0));
  if (!buffer) return STATUS_NO_MEMORY;
  WCHAR* out = buffer;
  *out++ = L'{';
  out = PutHex(out, Guid.Data1, 8);
  *out++ = L'-';
  out = PutHex(out, Guid.Data2, 4);
  *out++ = L'-';
  out = PutHex(out, Guid.Data3, 4);
  *out++ = L'-';
  for (int i = 0; i < 8; ++i) {
    if (i == 2) *out++ = L'-';
    out = PutHex(out, Guid.Data4[i], 2);
  }
  *out++ = L'}';
  *out = 0;
  GuidString->Buffer = buffer;
  GuidString->Length = kChars * sizeof(WCHAR);
  GuidString->MaximumLength = (kChars + 1) * sizeof(WCHAR);
  return STATUS_SUCCESS;
}

}  // extern "C"

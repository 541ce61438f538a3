// Basic NT types, status codes, counted strings and lists, as the DDK defines
// them, for the host build of the drivers. Sizes match 32-bit Windows where a
// record crosses the driver/device boundary; pointers are the host's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>  // before sim/ddk/wdm.h renames the wide-character routines

#if __SIZEOF_WCHAR_T__ != 2
#error "the host build needs -fshort-wchar: WCHAR is 16 bits as on Windows"
#endif

#define NTAPI
#define NTSYSAPI
#define NTKERNELAPI
#define NTHALAPI
#define FASTCALL
#define DDKAPI
#define __cdecl
#define __stdcall
#define __fastcall
#define IN
#define OUT
#define OPTIONAL
#define CONST const
#define VOID void
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define C_ASSERT(e) static_assert(e, #e)

typedef void* PVOID;
typedef void** PPVOID;
typedef char CHAR, CCHAR, *PCHAR, *PSTR;
typedef const char* PCSTR;
typedef unsigned char UCHAR, *PUCHAR, BOOLEAN, *PBOOLEAN, KIRQL, *PKIRQL, KPROCESSOR_MODE;
typedef int16_t SHORT, CSHORT, *PSHORT;
typedef uint16_t USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG, NTSTATUS, *PNTSTATUS;
typedef uint32_t ULONG, *PULONG, DWORD, *PDWORD, ACCESS_MASK, *PACCESS_MASK;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int64_t LONGLONG, *PLONGLONG;
typedef uint64_t ULONGLONG, *PULONGLONG;
typedef intptr_t LONG_PTR, *PLONG_PTR;
typedef uintptr_t ULONG_PTR, *PULONG_PTR, KAFFINITY;
typedef size_t SIZE_T, *PSIZE_T;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR, *PWCH;
typedef const wchar_t* PCWSTR, *PCWCH;
typedef PVOID HANDLE, *PHANDLE;
typedef UCHAR* PBYTE;
typedef ULONG LOGICAL;
typedef LONG KPRIORITY;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif
#define MAXULONG 0xFFFFFFFFu
#define MAXUSHORT 0xFFFFu
#define MAXLONG 0x7FFFFFFF
#define ANYSIZE_ARRAY 1

typedef union _LARGE_INTEGER {
  struct { ULONG LowPart; LONG HighPart; };
  struct { ULONG LowPart; LONG HighPart; } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct { ULONG LowPart; ULONG HighPart; };
  struct { ULONG LowPart; ULONG HighPart; } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
  struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _UNICODE_STRING {
  USHORT Length;          // bytes, without a terminating zero
  USHORT MaximumLength;   // bytes of Buffer
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
// offsetof, not the DDK's &((type*)0)->field: that form reaches a member
// through a null pointer, which the sanitizers stop on for nested fields.
#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address) - offsetof(type, field)))
#define RTL_CONSTANT_STRING(s) {sizeof(s) - sizeof((s)[0]), sizeof(s), const_cast<PWSTR>(s)}

#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
#define NT_INFORMATION(s) ((((ULONG)(s)) >> 30) == 1)
#define NT_WARNING(s) ((((ULONG)(s)) >> 30) == 2)
#define NT_ERROR(s) ((((ULONG)(s)) >> 30) == 3)

// Status codes (ntstatus.h).
#define STATUS_SUCCESS                   ((NTSTATUS)0x00000000)
#define STATUS_WAIT_0                    ((NTSTATUS)0x00000000)
#define STATUS_WAIT_1                    ((NTSTATUS)0x00000001)
#define STATUS_WAIT_63                   ((NTSTATUS)0x0000003F)
#define STATUS_ABANDONED_WAIT_0          ((NTSTATUS)0x00000080)
#define STATUS_USER_APC                  ((NTSTATUS)0x000000C0)
#define STATUS_ALERTED                   ((NTSTATUS)0x00000101)
#define STATUS_TIMEOUT                   ((NTSTATUS)0x00000102)
#define STATUS_PENDING                   ((NTSTATUS)0x00000103)
#define STATUS_REPARSE                   ((NTSTATUS)0x00000104)
#define STATUS_MORE_ENTRIES              ((NTSTATUS)0x00000105)
#define STATUS_OBJECT_NAME_EXISTS        ((NTSTATUS)0x40000000)
#define STATUS_NOT_ALL_ASSIGNED          ((NTSTATUS)0x00000106)
#define STATUS_BUFFER_OVERFLOW           ((NTSTATUS)0x80000005)
#define STATUS_NO_MORE_ENTRIES           ((NTSTATUS)0x8000001A)
#define STATUS_UNSUCCESSFUL              ((NTSTATUS)0xC0000001)
#define STATUS_NOT_IMPLEMENTED           ((NTSTATUS)0xC0000002)
#define STATUS_INVALID_INFO_CLASS        ((NTSTATUS)0xC0000003)
#define STATUS_INFO_LENGTH_MISMATCH      ((NTSTATUS)0xC0000004)
#define STATUS_ACCESS_VIOLATION          ((NTSTATUS)0xC0000005)
#define STATUS_INVALID_HANDLE            ((NTSTATUS)0xC0000008)
#define STATUS_INVALID_PARAMETER         ((NTSTATUS)0xC000000D)
#define STATUS_NO_SUCH_DEVICE            ((NTSTATUS)0xC000000E)
#define STATUS_NO_SUCH_FILE              ((NTSTATUS)0xC000000F)
#define STATUS_INVALID_DEVICE_REQUEST    ((NTSTATUS)0xC0000010)
#define STATUS_END_OF_FILE               ((NTSTATUS)0xC0000011)
#define STATUS_NO_MEMORY                 ((NTSTATUS)0xC0000017)
#define STATUS_MORE_PROCESSING_REQUIRED  ((NTSTATUS)0xC0000016)
#define STATUS_ACCESS_DENIED             ((NTSTATUS)0xC0000022)
#define STATUS_BUFFER_TOO_SMALL          ((NTSTATUS)0xC0000023)
#define STATUS_OBJECT_TYPE_MISMATCH      ((NTSTATUS)0xC0000024)
#define STATUS_OBJECT_NAME_INVALID       ((NTSTATUS)0xC0000033)
#define STATUS_OBJECT_NAME_NOT_FOUND     ((NTSTATUS)0xC0000034)
#define STATUS_OBJECT_NAME_COLLISION     ((NTSTATUS)0xC0000035)
#define STATUS_OBJECT_PATH_INVALID       ((NTSTATUS)0xC0000039)
#define STATUS_OBJECT_PATH_NOT_FOUND     ((NTSTATUS)0xC000003A)
#define STATUS_OBJECT_PATH_SYNTAX_BAD    ((NTSTATUS)0xC000003B)
#define STATUS_SHARING_VIOLATION         ((NTSTATUS)0xC0000043)
#define STATUS_DELETE_PENDING            ((NTSTATUS)0xC0000056)
#define STATUS_INSUFFICIENT_RESOURCES    ((NTSTATUS)0xC000009A)
#define STATUS_DEVICE_DATA_ERROR         ((NTSTATUS)0xC000009C)
#define STATUS_DEVICE_NOT_CONNECTED      ((NTSTATUS)0xC000009D)
#define STATUS_IO_TIMEOUT                ((NTSTATUS)0xC00000B5)
#define STATUS_NOT_SUPPORTED             ((NTSTATUS)0xC00000BB)
#define STATUS_INVALID_PARAMETER_1       ((NTSTATUS)0xC00000EF)
#define STATUS_INVALID_PARAMETER_2       ((NTSTATUS)0xC00000F0)
#define STATUS_CANCELLED                 ((NTSTATUS)0xC0000120)
#define STATUS_DEVICE_DOES_NOT_EXIST     ((NTSTATUS)0xC00000C0)
#define STATUS_INVALID_DEVICE_STATE      ((NTSTATUS)0xC0000184)
#define STATUS_KEY_DELETED               ((NTSTATUS)0xC000017C)
#define STATUS_DEVICE_REMOVED            ((NTSTATUS)0xC00002B6)
#define STATUS_NOT_FOUND                 ((NTSTATUS)0xC0000225)
#define STATUS_INTEGER_OVERFLOW          ((NTSTATUS)0xC0000095)
#define STATUS_DEVICE_BUSY               ((NTSTATUS)0x80000011)
#define STATUS_NO_MORE_FILES             ((NTSTATUS)0x80000006)
#define STATUS_INVALID_BUFFER_SIZE       ((NTSTATUS)0xC0000206)
#define STATUS_NAME_TOO_LONG             ((NTSTATUS)0xC0000106)
#define STATUS_DEVICE_POWER_FAILURE      ((NTSTATUS)0xC000009E)
#define STATUS_POWER_STATE_INVALID       ((NTSTATUS)0xC00002D3)

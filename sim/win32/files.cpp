// CreateFileW and CloseHandle: Win32 paths become NT paths, Win32 access and
// dispositions become what NtCreateFile hands the device, and the file object
// the I/O manager opens is held by a handle.
#include <optional>
#include <string_view>

#include "sim/kernel/iomanager.h"
#include "sim/kernel/ustring.h"
#include "sim/win32/errors.h"
#include "sim/win32/handles.h"

namespace win32 {

namespace {

using namespace detail;

// NT create dispositions and options (IRP_MJ_CREATE's Options carry the
// disposition in the top byte).
constexpr ULONG kFileOpen = 1, kFileCreate = 2, kFileOpenIf = 3, kFileOverwrite = 4, kFileOverwriteIf = 5;
constexpr ULONG kFileSynchronousIoNonalert = 0x00000020;
constexpr ULONG kFileNonDirectoryFile = 0x00000040;

// The file object's generic mapping.
constexpr ACCESS_MASK kFileGenericRead = 0x00120089;
constexpr ACCESS_MASK kFileGenericWrite = 0x00120116;
constexpr ACCESS_MASK kFileGenericExecute = 0x001200A0;
constexpr ACCESS_MASK kFileReadAttributes = 0x0080;

std::optional<ULONG> NtDisposition(DWORD creationDisposition) {
  switch (creationDisposition) {
    case CREATE_NEW: return kFileCreate;
    case CREATE_ALWAYS: return kFileOverwriteIf;
    case OPEN_EXISTING: return kFileOpen;
    case OPEN_ALWAYS: return kFileOpenIf;
    case TRUNCATE_EXISTING: return kFileOverwrite;
    default: return std::nullopt;
  }
}

// What the object manager grants for a Win32 access mask: generic rights
// mapped to file rights, plus what CreateFileW always asks for.
ACCESS_MASK MapAccess(DWORD desiredAccess) {
  ACCESS_MASK access = desiredAccess & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (desiredAccess & GENERIC_READ) access |= kFileGenericRead;
  if (desiredAccess & GENERIC_WRITE) access |= kFileGenericWrite;
  if (desiredAccess & GENERIC_EXECUTE) access |= kFileGenericExecute;
  if (desiredAccess & GENERIC_ALL) access |= FILE_ALL_ACCESS;
  return access | SYNCHRONIZE | kFileReadAttributes;
}

bool StartsWith(std::u16string_view path, std::u16string_view prefix) {
  return path.substr(0, prefix.size()) == prefix;
}

// COM1..COM9 and LPT1..LPT9, with or without a colon, name devices anywhere.
bool IsDosDeviceName(std::u16string_view path) {
  if (!path.empty() && path.back() == u':') path.remove_suffix(1);
  if (path.size() != 4 || path[3] < u'1' || path[3] > u'9') return false;
  std::u16string stem = sim::Upcase(path.substr(0, 3));
  return stem == u"COM" || stem == u"LPT";
}

bool IsDriveAbsolute(std::u16string_view path) {
  return path.size() >= 3 && sim::UpcaseChar(path[0]) >= u'A' && sim::UpcaseChar(path[0]) <= u'Z' && path[1] == u':' &&
         path[2] == u'\\';
}

// The NT path the object manager resolves for a Win32 path.
std::optional<std::u16string> NtPathOf(std::u16string_view path) {
  if (StartsWith(path, u"\\\\.\\") || StartsWith(path, u"\\\\?\\")) return u"\\??\\" + std::u16string(path.substr(4));
  if (StartsWith(path, u"\\") && !StartsWith(path, u"\\\\")) return std::u16string(path);  // \Device\X, \??\X
  if (IsDosDeviceName(path)) return u"\\??\\" + std::u16string(path.substr(0, 4));
  if (IsDriveAbsolute(path)) return u"\\??\\" + std::u16string(path);
  return std::nullopt;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                   DWORD flagsAndAttributes) {
  std::optional<ULONG> disposition = NtDisposition(creationDisposition);
  if (!disposition) {
    FailWith(STATUS_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::optional<std::u16string> path = fileName ? NtPathOf(fileName) : std::nullopt;
  if (!path) {
    FailWith(STATUS_OBJECT_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  bool overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
  sim::OpenRequest request;
  request.path = *path;
  request.access = MapAccess(desiredAccess);
  request.shareAccess = shareMode;
  request.options = *disposition << 24 | kFileNonDirectoryFile | (overlapped ? 0 : kFileSynchronousIoNonalert);
  request.synchronous = !overlapped;
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = sim::OpenFile(request, &file);
  if (!NT_SUCCESS(status)) {
    FailWith(status);
    return INVALID_HANDLE_VALUE;
  }
  file->Flags |= FO_HANDLE_CREATED;
  return Handles().AddFile(file, request.access);
}

HANDLE CreateFileW(const std::u16string& fileName, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                   DWORD flagsAndAttributes) {
  return CreateFileW(fileName.c_str(), desiredAccess, shareMode, creationDisposition, flagsAndAttributes);
}

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
  return CreateFileW(fileName, desiredAccess, shareMode, creationDisposition, flagsAndAttributes);
}

BOOL CloseHandle(HANDLE object) {
  NTSTATUS status = Handles().Close(object);
  return NT_SUCCESS(status) ? TRUE : FailWith(status);
}

}  // namespace win32

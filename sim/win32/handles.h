// The application's handle table. A handle is a value naming a file object or
// an event, as a process's handles are on Windows; it is never a pointer, so a
// stale or made-up handle is refused instead of being followed.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>

#include "sim/ddk/ntddk.h"

namespace win32::detail {

// An event made by CreateEventW.
struct EventObject {
  KEVENT event;
};

// One reference on a file object, taken through a handle, with the access the
// handle was granted. The reference goes with the FileRef.
class FileRef {
 public:
  FileRef() = default;
  FileRef(PFILE_OBJECT file, ACCESS_MASK access) : file_(file), access_(access) {}  // adopts a reference
  FileRef(FileRef&& other) noexcept;
  FileRef& operator=(FileRef&& other) noexcept;
  ~FileRef();
  FileRef(const FileRef&) = delete;
  FileRef& operator=(const FileRef&) = delete;

  PFILE_OBJECT File() const { return file_; }
  ACCESS_MASK Access() const { return access_; }

 private:
  PFILE_OBJECT file_ = nullptr;
  ACCESS_MASK access_ = 0;
};

// What a wait needs from a handle: the dispatcher object, and what keeps it
// alive while the wait lasts.
struct Waitable {
  PVOID object = nullptr;
  std::shared_ptr<void> owner;
};

class HandleTable {
 public:
  // The new handle takes over the caller's reference on `file`.
  HANDLE AddFile(PFILE_OBJECT file, ACCESS_MASK access);
  HANDLE AddEvent(std::shared_ptr<EventObject> event);

  // Lookups fail with STATUS_INVALID_HANDLE for a handle that names nothing
  // and STATUS_OBJECT_TYPE_MISMATCH for one that names another kind of object.
  NTSTATUS ReferenceFile(HANDLE handle, FileRef* file);
  NTSTATUS ReferenceEvent(HANDLE handle, std::shared_ptr<EventObject>* event);
  NTSTATUS ReferenceWaitable(HANDLE handle, Waitable* waitable);

  // Removes the handle; a file's last handle sends IRP_MJ_CLEANUP.
  NTSTATUS Close(HANDLE handle);

 private:
  struct Entry {
    PFILE_OBJECT file = nullptr;
    ACCESS_MASK access = 0;
    std::shared_ptr<EventObject> event;
  };
  HANDLE Insert(Entry entry);
  const Entry* Find(HANDLE handle) const;

  std::mutex mutex_;
  std::unordered_map<ULONG_PTR, Entry> entries_;
  ULONG_PTR next_ = 4;
};

// The handle table of the current machine's application.
HandleTable& Handles();

}  // namespace win32::detail

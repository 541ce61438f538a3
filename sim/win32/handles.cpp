#include "sim/win32/handles.h"

#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"

namespace win32::detail {

namespace {
// Windows ignores the two low bits of a handle value (applications may tag
// them, as an OVERLAPPED's hEvent does to keep a completion off a port).
constexpr ULONG_PTR kHandleTagBits = 3;
// Handle values are never reused, so a closed handle stays invalid.
constexpr ULONG_PTR kHandleStep = 4;
}  // namespace

FileRef::FileRef(FileRef&& other) noexcept : file_(other.file_), access_(other.access_) { other.file_ = nullptr; }

FileRef& FileRef::operator=(FileRef&& other) noexcept {
  if (this != &other) {
    FileRef old(std::move(*this));
    file_ = other.file_;
    access_ = other.access_;
    other.file_ = nullptr;
  }
  return *this;
}

FileRef::~FileRef() {
  if (file_) sim::CurrentMachine().Objects().Dereference(file_);
}

HANDLE HandleTable::Insert(Entry entry) {
  std::lock_guard guard(mutex_);
  ULONG_PTR value = next_;
  next_ += kHandleStep;
  entries_.emplace(value, std::move(entry));
  return reinterpret_cast<HANDLE>(value);
}

const HandleTable::Entry* HandleTable::Find(HANDLE handle) const {
  auto it = entries_.find(reinterpret_cast<ULONG_PTR>(handle) & ~kHandleTagBits);
  return it == entries_.end() ? nullptr : &it->second;
}

HANDLE HandleTable::AddFile(PFILE_OBJECT file, ACCESS_MASK access) {
  sim::CurrentMachine().Objects().AddHandle(file);
  return Insert(Entry{file, access, nullptr});
}

HANDLE HandleTable::AddEvent(std::shared_ptr<EventObject> event) { return Insert(Entry{nullptr, 0, std::move(event)}); }

NTSTATUS HandleTable::ReferenceFile(HANDLE handle, FileRef* file) {
  std::lock_guard guard(mutex_);
  const Entry* entry = Find(handle);
  if (!entry) return STATUS_INVALID_HANDLE;
  if (!entry->file) return STATUS_OBJECT_TYPE_MISMATCH;
  sim::CurrentMachine().Objects().Reference(entry->file);
  *file = FileRef(entry->file, entry->access);
  return STATUS_SUCCESS;
}

NTSTATUS HandleTable::ReferenceEvent(HANDLE handle, std::shared_ptr<EventObject>* event) {
  std::lock_guard guard(mutex_);
  const Entry* entry = Find(handle);
  if (!entry) return STATUS_INVALID_HANDLE;
  if (!entry->event) return STATUS_OBJECT_TYPE_MISMATCH;
  *event = entry->event;
  return STATUS_SUCCESS;
}

// A file object is waitable through its Event, which the I/O manager sets when
// a request on it completes without an event of its own.
NTSTATUS HandleTable::ReferenceWaitable(HANDLE handle, Waitable* waitable) {
  std::shared_ptr<EventObject> event;
  if (NT_SUCCESS(ReferenceEvent(handle, &event))) {
    waitable->object = &event->event;
    waitable->owner = std::move(event);
    return STATUS_SUCCESS;
  }
  FileRef file;
  NTSTATUS status = ReferenceFile(handle, &file);
  if (!NT_SUCCESS(status)) return status;
  waitable->object = &file.File()->Event;
  waitable->owner = std::make_shared<FileRef>(std::move(file));
  return STATUS_SUCCESS;
}

NTSTATUS HandleTable::Close(HANDLE handle) {
  Entry entry;
  {
    std::lock_guard guard(mutex_);
    const Entry* found = Find(handle);
    if (!found) return STATUS_INVALID_HANDLE;
    entry = *found;
    entries_.erase(reinterpret_cast<ULONG_PTR>(handle) & ~kHandleTagBits);
  }
  if (entry.file) sim::CurrentMachine().Objects().CloseHandle(entry.file);
  return STATUS_SUCCESS;
}

HandleTable& Handles() {
  static std::mutex creation;
  std::lock_guard guard(creation);
  std::shared_ptr<void>& state = sim::CurrentMachine().ApplicationState();
  if (!state) state = std::make_shared<HandleTable>();
  return *static_cast<HandleTable*>(state.get());
}

}  // namespace win32::detail

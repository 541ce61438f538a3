// The object manager: driver, device and file objects with their reference and
// handle counts, and the object namespace with symbolic links.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sim/ddk/ntddk.h"

namespace sim {

enum class ObjectType { Driver, Device, File };

struct ObjectHeader {
  ObjectType type;
  LONG pointerCount = 1;
  LONG handleCount = 0;
  bool deletePending = false;  // device: IoDeleteDevice was called
  std::u16string name;
};

class ObjectManager {
 public:
  ~ObjectManager();

  PDRIVER_OBJECT CreateDriver(const std::u16string& name);
  void DeleteDriver(PDRIVER_OBJECT driver);
  NTSTATUS CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, ULONG type,
                        ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device);
  void DeleteDevice(PDEVICE_OBJECT device);
  bool IsDeletePending(PDEVICE_OBJECT device);
  PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, const std::u16string& fileName, bool synchronous);

  void Reference(PVOID object);
  void Dereference(PVOID object);
  // Drops a reference unless it is the last one; returns whether it dropped it.
  bool DereferenceUnlessLast(PVOID object);
  void AddHandle(PFILE_OBJECT file);
  // Drops a handle: the last one sends IRP_MJ_CLEANUP, then the handle's
  // reference goes, and with the last reference IRP_MJ_CLOSE.
  void CloseHandle(PFILE_OBJECT file);
  bool IsObject(PVOID object, ObjectType type);
  std::u16string NameOf(PVOID object);
  LONG PointerCount(PVOID object);

  // The namespace. Names are case-insensitive; \DosDevices\ and \GLOBAL??\ are \??\.
  NTSTATUS CreateLink(const std::u16string& link, const std::u16string& target);
  NTSTATUS DeleteLink(const std::u16string& link);
  // Follows links to a device; `remainder` gets what follows its name ("\PIPE00").
  // The device comes referenced, as NT's parse holds it while an open goes on:
  // a device deleted meanwhile stays until the caller dereferences it.
  NTSTATUS Resolve(const std::u16string& path, PDEVICE_OBJECT* device, std::u16string* remainder);
  std::vector<std::pair<std::u16string, std::u16string>> Links();
  // Device objects of `driver` still present (for unload checks).
  std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver);
  // File objects whose device is `pdo` or a device attached above it. When
  // the last of them goes the PnP manager is told (a surprise-removed stack
  // gets IRP_MN_REMOVE_DEVICE then).
  size_t FilesOnStack(PDEVICE_OBJECT pdo);
  // Waits (virtual time running) until every close a worker thread still has
  // to send has been sent, or only those of files on the stack of `pdo` when
  // it is given; gives up after ten seconds of virtual time.
  void WaitForDeferredCloses(PDEVICE_OBJECT pdo = nullptr);

 private:
  void Destroy(PVOID object, ObjectHeader header);
  static std::u16string Key(const std::u16string& name);

  struct NameEntry {
    std::u16string name;    // as created
    PDEVICE_OBJECT device = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    std::u16string target;  // symbolic link
  };

  std::recursive_mutex mutex_;
  std::map<PVOID, ObjectHeader> objects_;
  std::map<PDEVICE_OBJECT, size_t> closing_;  // per stack (its PDO): files whose close is still to be sent
  std::map<std::u16string, NameEntry> names_;
  ULONG nextAutoName_ = 1;
};

}  // namespace sim

// The registry: keys with typed values, opened by drivers through handles
// (Zw* routines, IoOpenDeviceRegistryKey, RtlWriteRegistryValue) and by the
// machine's configuration directly. It can be loaded from and saved to a
// human-readable text file.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/ddk/ntddk.h"

namespace sim {

struct RegistryValue {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;

  static RegistryValue Dword(ULONG value);
  static RegistryValue String(const std::u16string& text);  // REG_SZ with its terminator
  static RegistryValue Binary(std::vector<uint8_t> bytes);
  std::optional<ULONG> AsDword() const;           // REG_DWORD with 4 bytes
  std::optional<std::u16string> AsString() const;  // REG_SZ / REG_EXPAND_SZ, without the terminator
};

// Well-known paths.
inline const std::u16string kMachineKey = u"\\Registry\\Machine";
inline const std::u16string kEnumKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
inline const std::u16string kServicesKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
inline const std::u16string kDeviceMapKey = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP";

class Registry {
 public:
  Registry();
  ~Registry();

  // The machine's side (tests, the simulator, the PnP manager): absolute paths,
  // case-insensitive, created as needed.
  void CreateKey(const std::u16string& path);
  bool KeyExists(const std::u16string& path) const;
  void SetValue(const std::u16string& keyPath, const std::u16string& name, RegistryValue value);
  std::optional<RegistryValue> GetValue(const std::u16string& keyPath, const std::u16string& name) const;
  bool DeleteValue(const std::u16string& keyPath, const std::u16string& name);
  void DeleteKey(const std::u16string& path);  // with its subkeys
  std::vector<std::u16string> ValueNames(const std::u16string& keyPath) const;

  // The text file (one key per "[path]" line, then "name"=type:data lines).
  // Load reports each bad line with its number in `errors` and skips nothing
  // silently: it returns false if any line was bad.
  bool Load(const std::string& fileName, std::vector<std::string>* errors);
  bool Save(const std::string& fileName, std::string* error) const;
  std::string ToText() const;
  bool FromText(const std::string& text, std::vector<std::string>* errors);

  // The driver's side: open keys are kernel handles (ZwClose closes them).
  NTSTATUS OpenKey(const std::u16string& path, ACCESS_MASK access, bool create, HANDLE* handle);
  NTSTATUS CloseKey(HANDLE handle);
  NTSTATUS QueryValue(HANDLE key, PCUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer,
                      ULONG length, PULONG resultLength);
  NTSTATUS SetValue(HANDLE key, PCUNICODE_STRING name, ULONG type, const void* data, ULONG size);
  size_t OpenHandleCount() const;
  // Key handles `driver` still has open (unload residue).
  std::string Residue(PDRIVER_OBJECT driver) const;

  // Every key (parents first, then subkeys in name order) with its values.
  void Visit(const std::function<void(const std::u16string& path,
                                      const std::vector<std::pair<std::u16string, RegistryValue>>& values)>& visit) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim

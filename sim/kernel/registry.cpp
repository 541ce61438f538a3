#include "sim/kernel/registry.h"

#include <algorithm>
#include <cstdio>

#include "sim/kernel/machine.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"

namespace sim {

RegistryValue RegistryValue::Dword(ULONG value) {
  RegistryValue v;
  v.type = REG_DWORD;
  v.data.resize(4);
  std::memcpy(v.data.data(), &value, 4);
  return v;
}

RegistryValue RegistryValue::String(const std::u16string& text) {
  RegistryValue v;
  v.type = REG_SZ;
  v.data.resize((text.size() + 1) * 2, 0);
  std::memcpy(v.data.data(), text.data(), text.size() * 2);
  return v;
}

RegistryValue RegistryValue::Binary(std::vector<uint8_t> bytes) {
  RegistryValue v;
  v.type = REG_BINARY;
  v.data = std::move(bytes);
  return v;
}

std::optional<ULONG> RegistryValue::AsDword() const {
  if (type != REG_DWORD || data.size() != 4) return std::nullopt;
  ULONG value;
  std::memcpy(&value, data.data(), 4);
  return value;
}

std::optional<std::u16string> RegistryValue::AsString() const {
  if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
  std::u16string text(data.size() / 2, u'\0');
  std::memcpy(text.data(), data.data(), text.size() * 2);
  if (auto end = text.find(u'\0'); end != std::u16string::npos) text.resize(end);
  return text;
}

namespace {

struct Key {
  std::u16string name;  // as created
  std::map<std::u16string, std::pair<std::u16string, RegistryValue>> values;  // upcased name -> (name, value)
  std::map<std::u16string, std::unique_ptr<Key>> subkeys;                     // upcased name -> key
};

struct OpenKeyRecord {
  std::u16string path;
  ACCESS_MASK access;
  PDRIVER_OBJECT owner;
};

std::vector<std::u16string> Components(const std::u16string& path) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// KEY_VALUE_*_INFORMATION layouts: the fixed part before Name/Data.
constexpr ULONG kBasicFixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
constexpr ULONG kFullFixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
constexpr ULONG kPartialFixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);

ULONG AlignUlong(ULONG offset) { return (offset + sizeof(ULONG) - 1) & ~(ULONG)(sizeof(ULONG) - 1); }

}  // namespace

struct Registry::Impl {
  mutable std::mutex mutex;
  Key root;
  std::map<uintptr_t, OpenKeyRecord> handles;
  uintptr_t nextHandle = 0x100;

  Key* Find(const std::u16string& path) {
    Key* key = &root;
    for (const auto& part : Components(path)) {
      auto it = key->subkeys.find(Upcase(part));
      if (it == key->subkeys.end()) return nullptr;
      key = it->second.get();
    }
    return key;
  }

  Key* Create(const std::u16string& path) {
    Key* key = &root;
    for (const auto& part : Components(path)) {
      auto& slot = key->subkeys[Upcase(part)];
      if (!slot) {
        slot = std::make_unique<Key>();
        slot->name = part;
      }
      key = slot.get();
    }
    return key;
  }

  const RegistryValue* FindValue(const std::u16string& path, const std::u16string& name) {
    Key* key = Find(path);
    if (!key) return nullptr;
    auto it = key->values.find(Upcase(name));
    return it == key->values.end() ? nullptr : &it->second.second;
  }
};

Registry::Registry() : impl_(std::make_unique<Impl>()) {
  for (const auto& path : {kEnumKey, kServicesKey, kDeviceMapKey}) impl_->Create(path);
}

Registry::~Registry() = default;

void Registry::CreateKey(const std::u16string& path) {
  std::lock_guard guard(impl_->mutex);
  impl_->Create(path);
}

bool Registry::KeyExists(const std::u16string& path) const {
  std::lock_guard guard(impl_->mutex);
  return impl_->Find(path) != nullptr;
}

void Registry::SetValue(const std::u16string& keyPath, const std::u16string& name, RegistryValue value) {
  std::lock_guard guard(impl_->mutex);
  impl_->Create(keyPath)->values[Upcase(name)] = {name, std::move(value)};
}

std::optional<RegistryValue> Registry::GetValue(const std::u16string& keyPath, const std::u16string& name) const {
  std::lock_guard guard(impl_->mutex);
  const RegistryValue* value = impl_->FindValue(keyPath, name);
  return value ? std::optional<RegistryValue>(*value) : std::nullopt;
}

bool Registry::DeleteValue(const std::u16string& keyPath, const std::u16string& name) {
  std::lock_guard guard(impl_->mutex);
  Key* key = impl_->Find(keyPath);
  return key && key->values.erase(Upcase(name)) > 0;
}

void Registry::DeleteKey(const std::u16string& path) {
  std::lock_guard guard(impl_->mutex);
  auto parts = Components(path);
  if (parts.empty()) return;
  Key* parent = &impl_->root;
  for (size_t i = 0; i + 1 < parts.size() && parent; ++i) {
    auto it = parent->subkeys.find(Upcase(parts[i]));
    parent = it == parent->subkeys.end() ? nullptr : it->second.get();
  }
  if (parent) parent->subkeys.erase(Upcase(parts.back()));
}

std::vector<std::u16string> Registry::ValueNames(const std::u16string& keyPath) const {
  std::lock_guard guard(impl_->mutex);
  std::vector<std::u16string> names;
  if (Key* key = impl_->Find(keyPath))
    for (auto& [upcased, entry] : key->values) names.push_back(entry.first);
  return names;
}

NTSTATUS Registry::OpenKey(const std::u16string& path, ACCESS_MASK access, bool create, HANDLE* handle) {
  std::lock_guard guard(impl_->mutex);
  Key* key = create ? impl_->Create(path) : impl_->Find(path);
  if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  uintptr_t value = impl_->nextHandle;
  impl_->nextHandle += 4;  // NT handle values are multiples of four
  impl_->handles[value] = OpenKeyRecord{path, access, CurrentDriver()};
  *handle = (HANDLE)value;
  return STATUS_SUCCESS;
}

NTSTATUS Registry::CloseKey(HANDLE handle) {
  std::lock_guard guard(impl_->mutex);
  return impl_->handles.erase((uintptr_t)handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

size_t Registry::OpenHandleCount() const {
  std::lock_guard guard(impl_->mutex);
  return impl_->handles.size();
}

std::string Registry::Residue(PDRIVER_OBJECT driver) const {
  std::lock_guard guard(impl_->mutex);
  std::string out;
  for (auto& [value, record] : impl_->handles)
    if (record.owner == driver) out += "\n      registry key handle still open: " + Narrow(record.path);
  return out;
}

NTSTATUS Registry::QueryValue(HANDLE handle, PCUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS infoClass,
                              PVOID buffer, ULONG length, PULONG resultLength) {
  std::lock_guard guard(impl_->mutex);
  auto it = impl_->handles.find((uintptr_t)handle);
  if (it == impl_->handles.end()) return STATUS_INVALID_HANDLE;
  if (!(it->second.access & KEY_QUERY_VALUE)) return STATUS_ACCESS_DENIED;
  Key* key = impl_->Find(it->second.path);
  if (!key) return STATUS_KEY_DELETED;
  auto valueIt = key->values.find(Upcase(ToU16(name)));
  if (valueIt == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  const std::u16string& storedName = valueIt->second.first;
  const RegistryValue& value = valueIt->second.second;
  ULONG nameBytes = (ULONG)(storedName.size() * sizeof(WCHAR));
  ULONG dataBytes = (ULONG)value.data.size();
  auto out = (PUCHAR)buffer;

  ULONG fixed, required;
  switch (infoClass) {
    case KeyValueBasicInformation: fixed = kBasicFixed; required = fixed + nameBytes; break;
    case KeyValueFullInformation: fixed = kFullFixed; required = AlignUlong(fixed + nameBytes) + dataBytes; break;
    case KeyValuePartialInformation: fixed = kPartialFixed; required = fixed + dataBytes; break;
    default: return STATUS_INVALID_PARAMETER;
  }
  if (resultLength) *resultLength = required;
  if (length < fixed) return STATUS_BUFFER_TOO_SMALL;

  // The fixed part is always filled; names and data as far as they fit.
  auto fill = [&](ULONG offset, const void* source, ULONG bytes) {
    if (offset < length && bytes) std::memcpy(out + offset, source, std::min(bytes, length - offset));
  };
  switch (infoClass) {
    case KeyValueBasicInformation: {
      auto* info = (PKEY_VALUE_BASIC_INFORMATION)buffer;
      info->TitleIndex = 0;
      info->Type = value.type;
      info->NameLength = nameBytes;
      fill(fixed, storedName.data(), nameBytes);
      break;
    }
    case KeyValueFullInformation: {
      auto* info = (PKEY_VALUE_FULL_INFORMATION)buffer;
      info->TitleIndex = 0;
      info->Type = value.type;
      info->DataOffset = AlignUlong(fixed + nameBytes);
      info->DataLength = dataBytes;
      info->NameLength = nameBytes;
      fill(fixed, storedName.data(), nameBytes);
      if (length >= required) fill(info->DataOffset, value.data.data(), dataBytes);
      break;
    }
    default: {
      auto* info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
      info->TitleIndex = 0;
      info->Type = value.type;
      info->DataLength = dataBytes;
      if (length >= required) fill(fixed, value.data.data(), dataBytes);
      break;
    }
  }
  return length >= required ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS Registry::SetValue(HANDLE handle, PCUNICODE_STRING name, ULONG type, const void* data, ULONG size) {
  std::lock_guard guard(impl_->mutex);
  auto it = impl_->handles.find((uintptr_t)handle);
  if (it == impl_->handles.end()) return STATUS_INVALID_HANDLE;
  if (!(it->second.access & KEY_SET_VALUE)) return STATUS_ACCESS_DENIED;
  Key* key = impl_->Find(it->second.path);
  if (!key) return STATUS_KEY_DELETED;
  if (size && !data) return STATUS_INVALID_PARAMETER;
  RegistryValue value;
  value.type = type;
  value.data.assign((const uint8_t*)data, (const uint8_t*)data + size);
  std::u16string valueName = ToU16(name);
  key->values[Upcase(valueName)] = {valueName, std::move(value)};
  return STATUS_SUCCESS;
}

// The tree for the text file, in a stable order.
void Registry::Visit(const std::function<void(const std::u16string& path,
                                              const std::vector<std::pair<std::u16string, RegistryValue>>&)>& visit) const {
  std::lock_guard guard(impl_->mutex);
  std::function<void(const Key&, const std::u16string&)> walk = [&](const Key& key, const std::u16string& path) {
    std::vector<std::pair<std::u16string, RegistryValue>> values;
    for (auto& [upcased, entry] : key.values) values.push_back(entry);
    if (!path.empty()) visit(path, values);
    for (auto& [upcased, child] : key.subkeys) walk(*child, path + u"\\" + child->name);
  };
  walk(impl_->root, u"");
}

}  // namespace sim

// The registry as NT shows it to drivers: value information in its exact
// layouts and statuses, access rights, the device map, and the text file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "sim/kernel/machine.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/ustring.h"

namespace {

const std::u16string kKey = sim::kEnumKey + u"\\ROOT\\PORTS\\0000\\Device Parameters";

struct Open {
  explicit Open(ACCESS_MASK access) { status = sim::CurrentMachine().Reg().OpenKey(kKey, access, true, &handle); }
  ~Open() { sim::CurrentMachine().Reg().CloseKey(handle); }
  HANDLE handle = nullptr;
  NTSTATUS status;
};

NTSTATUS Query(HANDLE key, const std::u16string& name, KEY_VALUE_INFORMATION_CLASS infoClass, std::vector<uint8_t>& buffer,
               ULONG* result) {
  UNICODE_STRING unicode = sim::View(name);
  return ZwQueryValueKey(key, &unicode, infoClass, buffer.data(), (ULONG)buffer.size(), result);
}

TEST(RegistryValues, FullInformationLaysOutNameThenDataAtAnAlignedOffset) {
  sim::Machine machine;
  machine.Reg().SetValue(kKey, u"EndPointCaps", sim::RegistryValue::Dword(3));
  Open key(KEY_READ);
  // The size a driver computes: the name's length in bytes plus 30.
  std::vector<uint8_t> buffer(24 + 30, 0xEE);
  ULONG result = 0;
  ASSERT_EQ(Query(key.handle, u"EndPointCaps", KeyValueFullInformation, buffer, &result), STATUS_SUCCESS);
  auto* info = (PKEY_VALUE_FULL_INFORMATION)buffer.data();
  EXPECT_EQ(info->TitleIndex, 0u);
  EXPECT_EQ(info->Type, (ULONG)REG_DWORD);
  EXPECT_EQ(info->NameLength, 24u);
  EXPECT_EQ(info->DataOffset, 20u + 24u) << "data follows the name, aligned to four bytes";
  EXPECT_EQ(info->DataLength, 4u);
  EXPECT_EQ(result, 48u);
  EXPECT_EQ(std::u16string((char16_t*)info->Name, 12), u"EndPointCaps");
  EXPECT_EQ(*(ULONG*)(buffer.data() + info->DataOffset), 3u);

  // An odd number of name characters leaves two bytes of padding before the data.
  machine.Reg().SetValue(kKey, u"DebugLevelX", sim::RegistryValue::Dword(7));
  std::vector<uint8_t> odd(64);
  ASSERT_EQ(Query(key.handle, u"debuglevelx", KeyValueFullInformation, odd, &result), STATUS_SUCCESS)
      << "value names are case-insensitive";
  EXPECT_EQ(((PKEY_VALUE_FULL_INFORMATION)odd.data())->DataOffset, 44u);
  EXPECT_EQ(result, 48u);
}

TEST(RegistryValues, PartialAndBasicInformationLayouts) {
  sim::Machine machine;
  machine.Reg().SetValue(kKey, u"PortName", sim::RegistryValue::String(u"COM7"));
  Open key(KEY_READ);
  std::vector<uint8_t> buffer(64);
  ULONG result = 0;
  ASSERT_EQ(Query(key.handle, u"PortName", KeyValuePartialInformation, buffer, &result), STATUS_SUCCESS);
  auto* partial = (PKEY_VALUE_PARTIAL_INFORMATION)buffer.data();
  EXPECT_EQ(partial->Type, (ULONG)REG_SZ);
  EXPECT_EQ(partial->DataLength, 10u) << "four characters and the terminator";
  EXPECT_EQ(result, 12u + 10u);
  EXPECT_EQ(std::u16string((char16_t*)partial->Data), u"COM7");

  ASSERT_EQ(Query(key.handle, u"PortName", KeyValueBasicInformation, buffer, &result), STATUS_SUCCESS);
  auto* basic = (PKEY_VALUE_BASIC_INFORMATION)buffer.data();
  EXPECT_EQ(basic->NameLength, 16u);
  EXPECT_EQ(result, 12u + 16u);
}

TEST(RegistryValues, ShortBuffersGiveOverflowWithTheFixedPartOrTooSmall) {
  sim::Machine machine;
  machine.Reg().SetValue(kKey, u"TargetDevice", sim::RegistryValue::String(u"VID_1234&PID_5678"));
  Open key(KEY_READ);
  ULONG result = 0;

  std::vector<uint8_t> fixedOnly(24, 0xEE);  // room for the fixed part and a little of the name
  ASSERT_EQ(Query(key.handle, u"TargetDevice", KeyValueFullInformation, fixedOnly, &result), STATUS_BUFFER_OVERFLOW);
  auto* info = (PKEY_VALUE_FULL_INFORMATION)fixedOnly.data();
  EXPECT_EQ(info->Type, (ULONG)REG_SZ);
  EXPECT_EQ(info->DataLength, 36u);
  EXPECT_EQ(info->NameLength, 24u);
  EXPECT_EQ(result, 20u + 24u + 36u) << "the length the caller needs";

  std::vector<uint8_t> tooSmall(19, 0xEE);
  EXPECT_EQ(Query(key.handle, u"TargetDevice", KeyValueFullInformation, tooSmall, &result), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(tooSmall[0], 0xEE) << "nothing is written when not even the fixed part fits";
  EXPECT_EQ(result, 80u);

  std::vector<uint8_t> partial(14);
  EXPECT_EQ(Query(key.handle, u"TargetDevice", KeyValuePartialInformation, partial, &result), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(((PKEY_VALUE_PARTIAL_INFORMATION)partial.data())->DataLength, 36u);

  EXPECT_EQ(Query(key.handle, u"Missing", KeyValueFullInformation, partial, &result), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Query((HANDLE)0x7777, u"TargetDevice", KeyValueFullInformation, partial, &result), STATUS_INVALID_HANDLE);
}

TEST(RegistryAccess, KeyOpenedForReadingRefusesWritesAndClosedHandlesAreInvalid) {
  sim::Machine machine;
  ULONG one = 1;
  std::u16string name = u"HasPluggedIn";
  UNICODE_STRING unicode = sim::View(name);
  {
    Open reader(KEY_READ);
    EXPECT_EQ(ZwSetValueKey(reader.handle, &unicode, 0, REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
  }
  HANDLE key;
  ASSERT_EQ(machine.Reg().OpenKey(kKey, KEY_ALL_ACCESS, false, &key), STATUS_SUCCESS);
  EXPECT_EQ(ZwSetValueKey(key, &unicode, 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
  EXPECT_EQ(machine.Reg().GetValue(kKey, u"hasPLUGGEDin")->AsDword(), 1u);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwSetValueKey(key, &unicode, 0, REG_DWORD, &one, 4), STATUS_INVALID_HANDLE);
  EXPECT_EQ(machine.Reg().OpenKey(sim::kEnumKey + u"\\Nowhere", KEY_READ, false, &key), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(RegistryDeviceMap, SerialCommEntriesAreWrittenAndDeletedRelativeToTheDeviceMap) {
  sim::Machine machine;
  const WCHAR data[] = L"COM7";
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial0", REG_SZ, (PVOID)data,
                                  sizeof data),
            STATUS_SUCCESS)
      << "the missing SERIALCOMM key is created below HARDWARE\\DEVICEMAP";
  auto value = machine.Reg().GetValue(sim::kDeviceMapKey + u"\\SERIALCOMM", u"\\Device\\Serial0");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->AsString(), u"COM7");
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial0"), STATUS_SUCCESS);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial0"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"NO\\SUCH\\KEY", L"x", REG_SZ, (PVOID)data, sizeof data),
            STATUS_OBJECT_NAME_NOT_FOUND)
      << "only the last key of the path is created";
}

TEST(RegistryFile, RoundTripsEveryValueKindThroughText) {
  sim::Machine machine;
  sim::Registry& registry = machine.Reg();
  registry.SetValue(kKey, u"PortName", sim::RegistryValue::String(u"CO\"M\\7\u00e9"));
  registry.SetValue(kKey, u"CxPollPeriod", sim::RegistryValue::Dword(0xFFFFFFFF));
  registry.SetValue(kKey, u"Blob", sim::RegistryValue::Binary({0x01, 0x00, 0xFF}));
  registry.SetValue(kKey, u"Short", sim::RegistryValue{REG_DWORD, {0x05, 0x00}});
  registry.SetValue(kKey, u"", sim::RegistryValue::String(u"default"));
  std::string text = registry.ToText();

  sim::Registry copy;
  std::vector<std::string> errors;
  ASSERT_TRUE(copy.FromText(text, &errors)) << (errors.empty() ? "" : errors[0]);
  for (const char16_t* name : {u"PortName", u"CxPollPeriod", u"Blob", u"Short", u""}) {
    auto original = registry.GetValue(kKey, name), loaded = copy.GetValue(kKey, name);
    ASSERT_TRUE(loaded.has_value()) << sim::Narrow(name);
    EXPECT_EQ(loaded->type, original->type) << sim::Narrow(name);
    EXPECT_EQ(loaded->data, original->data) << sim::Narrow(name);
  }
}

TEST(RegistryFile, BadLinesAreReportedWithTheirNumbersAndGoodOnesStillLoad) {
  sim::Machine machine;
  std::string text =
      "; a comment\n"
      "\"Orphan\"=dword:1\n"
      "[\\Registry\\Machine\\Test]\n"
      "\"Good\"=dword:0000002a\n"
      "\"Bad\"=word:1\n"
      "\"Open=sz:\"x\"\n"
      "[not a key]\n"
      "\"Hex\"=hex:0g\n"
      "\"Tail\"=sz:\"x\" junk\n";
  std::vector<std::string> errors;
  EXPECT_FALSE(machine.Reg().FromText(text, &errors));
  ASSERT_EQ(errors.size(), 6u);
  EXPECT_NE(errors[0].find("line 2:"), std::string::npos) << errors[0];
  EXPECT_NE(errors[1].find("line 5:"), std::string::npos) << errors[1];
  EXPECT_NE(errors[2].find("line 6:"), std::string::npos) << errors[2];
  EXPECT_NE(errors[3].find("line 7:"), std::string::npos) << errors[3];
  EXPECT_NE(errors[4].find("line 8:"), std::string::npos) << errors[4];
  EXPECT_NE(errors[5].find("line 9:"), std::string::npos) << errors[5];
  EXPECT_EQ(machine.Reg().GetValue(u"\\Registry\\Machine\\Test", u"Good")->AsDword(), 42u);
}

TEST(RegistryFile, SavesAndLoadsAFileAndReportsAnUnreadableOne) {
  sim::Machine machine;
  machine.Reg().SetValue(kKey, u"HasPluggedIn", sim::RegistryValue::Dword(1));
  std::string path = ::testing::TempDir() + "registry_test_" + std::to_string(getpid()) + ".reg";
  std::string error;
  ASSERT_TRUE(machine.Reg().Save(path, &error)) << error;
  sim::Registry loaded;
  std::vector<std::string> errors;
  ASSERT_TRUE(loaded.Load(path, &errors));
  EXPECT_EQ(loaded.GetValue(kKey, u"HasPluggedIn")->AsDword(), 1u);
  std::remove(path.c_str());
  EXPECT_FALSE(loaded.Load(path, &errors));
  EXPECT_NE(errors.back().find("cannot be read"), std::string::npos);
}

}  // namespace
